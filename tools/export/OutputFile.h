#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The file an export writes: made beside its target under a temporary name, owner-only,
// filled through a buffer, and renamed into place only when complete. Dropped unfinished,
// it removes itself, so a failed or interrupted export leaves nothing behind. An export
// killed outright cannot: it holds a lock on the file while it writes, and the next
// export to the same name removes such files that nobody holds.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Removes what earlier exports to `target` left, then makes the temporary file beside it.
    bool Open(const QString& target, QString* error);
    // Buffers `bytes`; false once a write has failed or the process was told to stop.
    bool Write(QByteArrayView bytes);
    // Writes out the buffer and moves the file to its target, replacing a file already
    // there only when `replace` is set.
    bool Publish(bool replace, QString* error);
    // Why the last Write failed.
    QString WriteError() const { return writeError_; }

    // From now on SIGINT, SIGTERM and SIGHUP make Write fail, so the export stops and the
    // temporary file is removed instead of being left half-written.
    static void StopOnInterrupt();

private:
    bool Flush();
    // Temporary files of ended exports to `target`, named as Open names them. Only those
    // of the same target go: another export's name, or another tool's file beside a
    // catalogue, is none of this one's business.
    static void RemoveLeftovers(const QString& target);

    QString target_;
    QString tempPath_;
    QByteArray buffer_;
    QString writeError_;
    int fd_ = -1;
    int lock_ = -1;
};

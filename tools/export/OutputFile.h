#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The file an export writes: made beside its target under a temporary name, owner-only,
// filled through a buffer, and renamed into place only when complete. Dropped unfinished,
// it removes itself, so a failed or interrupted export leaves nothing behind.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Makes the temporary file beside `target`.
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

    QString target_;
    QString tempPath_;
    QByteArray buffer_;
    QString writeError_;
    int fd_ = -1;
};

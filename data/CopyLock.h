#pragma once

#include <QString>

// Marks a running copy of the program in a lock file beside the catalogue: copy N holds
// an open file description lock on byte N for as long as it runs. The kernel drops the
// lock when the process ends, however it ends, so a free byte means that copy is gone.
// The lock is never taken on the catalogue itself: SQLite's own locks there are
// per process, and opening and closing another descriptor on it would drop them.
class CopyLock {
public:
    CopyLock() = default;
    ~CopyLock();
    CopyLock(const CopyLock&) = delete;
    CopyLock& operator=(const CopyLock&) = delete;

    // Takes the lowest free byte of `path` (created when missing) and returns its
    // number, this copy's id; 0 when no lock can be taken there.
    int Acquire(const QString& path);
    int Id() const { return id_; }
    QString Path() const { return path_; }

    // Whether copy `id` is running: this copy, or another that holds its byte. When
    // that cannot be told, the answer is yes, so nothing of a live copy is taken.
    bool Running(int id) const;
    // The lock file of the catalogue at `catalogue`.
    static QString PathFor(const QString& catalogue);
    // Whether any copy holds its byte of `path`: a running copy of the program. When that
    // cannot be told, the answer is yes.
    static bool AnyRunning(const QString& path);

private:
    void Release();

    int fd_ = -1;
    int id_ = 0;
    QString path_;
};

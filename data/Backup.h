#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>

// Complete copies of the catalogue in a folder beside it (Sitemora.mdb.backups/), so that
// a deletion by mistake or a damaged disk costs no more than the changes made since the
// program was last started. Each copy is a catalogue of its own, named by the UTC time
// it was made ("2025-01-31T09-05-07.123Z.mdb"), so names sort by age.
namespace Backup {

inline constexpr int kDefaultKeep = 10;
inline constexpr int kMaxKeep = 1000;
// When set, the number of backups to keep.
inline constexpr const char* kKeepVariable = "SITEMORA_BACKUPS";

QString FolderOf(const QString& catalogue);

// The number of backups to keep, from the environment. On a value that is not a number
// from 1 to kMaxKeep, returns false with `*keep` = kDefaultKeep.
bool KeepFromEnvironment(int* keep, QString* error);

struct Entry {
    QString name;
    QString path;
    QDateTime time; // UTC
    qint64 size = 0;
};

// The backups of `catalogue`, newest first; none when the folder does not exist.
QList<Entry> List(const QString& catalogue);

// The number of sites in a backup, or -1 with `*error`.
qint64 CountSites(const QString& path, QString* error);

enum class Result { Written, Unchanged, NoCatalogue, Failed };

// How long a backup or restore waits for another one of the same catalogue to finish.
inline constexpr int kFolderWaitMs = 30000;

struct Options {
    int keep = kDefaultKeep;
    // Skip the copy when the catalogue has not changed since the newest backup was made.
    bool onlyIfChanged = true;
    int folderWaitMs = kFolderWaitMs;
    // Set from another thread to give up; nothing is left behind.
    const std::atomic<bool>* cancel = nullptr;
    // Called once, as soon as the catalogue is no longer being read (whatever the result).
    std::function<void()> released;
};

// Writes a backup of `catalogue` when it is needed, then removes the oldest beyond
// `options.keep`. The catalogue is only read, and held against writers only while its
// bytes are copied; the copy is checked and published after that. On any failure the
// catalogue and the existing backups stay as they were. `*name` is the new backup's name
// when Written.
Result Make(const QString& catalogue, const Options& options, QString* name, QString* error);

// Replaces the catalogue by the backup `name`, after backing up the catalogue as it is
// (`*savedAs` names that copy, in the backups folder).
bool Restore(const QString& catalogue, const QString& name, int keep, QString* savedAs,
             QString* error);

} // namespace Backup

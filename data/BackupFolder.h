#pragma once

#include "Backup.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>

// The backups folder's own bookkeeping: names, what the newest backup was copied from,
// the lock that keeps two backups or restores of one catalogue apart, and tidying up.
namespace Backup::Folder {

QString NameAt(const QDateTime& utc, const QString& suffix = QStringLiteral(".mdb"));
// The time a backup's name gives; invalid for any other name.
QDateTime TimeOf(const QString& name);
// A new name, later than every existing one even if the clock went back meanwhile.
QString NextName(const QList<Entry>& entries);

// What the newest backup was copied from: its name and the catalogue's fingerprint then.
struct State {
    QString name;
    QByteArray fingerprint;
};
State ReadState(const QString& folder);
void WriteState(const QString& folder, const State& state);

// Whether the newest backup holds the catalogue that `fingerprint` describes.
bool NewestHolds(const QString& catalogue, const QByteArray& fingerprint);

bool Ensure(const QString& folder, QString* error);

// Temporary files left by a backup that was cut short. A copy still being written is
// locked by its writer and stays.
void RemoveLeftovers(const QString& folder);
void Prune(const QString& catalogue, int keep);

// Keeps backups and restores of one catalogue, by running copies of the program and by
// the command line alike, from picking over each other's files.
class Lock {
public:
    Lock() = default;
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    // Waits at most `timeoutMs` for another backup or restore to finish.
    bool Acquire(const QString& folder, int timeoutMs, const std::atomic<bool>* cancel,
                 QString* error);

private:
    int fd_ = -1;
};

} // namespace Backup::Folder

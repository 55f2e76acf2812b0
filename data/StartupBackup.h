#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The backup made at every start, on a thread of its own so that the window appears as
// fast as without it. Nothing the run changes may reach the catalogue while it is being
// copied: the first change waits for WaitForCopy, as long as it would for a lock. Why a backup
// could not be made is said once on standard error; the program goes on, and the next start tries
// again.
class StartupBackup {
public:
    explicit StartupBackup(QString catalogue);
    // Stops a copy still in progress; it leaves nothing behind.
    ~StartupBackup();
    StartupBackup(const StartupBackup&) = delete;
    StartupBackup& operator=(const StartupBackup&) = delete;

    void Start();
    // Whether the catalogue is no longer being read by the copy: at once when none runs,
    // else once it is done or `timeoutMs` have passed.
    bool WaitForCopy(int timeoutMs);

private:
    void Run();
    void Released();

    QString catalogue_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable releasedChanged_;
    bool released_ = true;
};

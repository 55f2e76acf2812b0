#include "StartupBackup.h"

#include "Backup.h"

#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

StartupBackup::StartupBackup(QString catalogue) : catalogue_(std::move(catalogue)) {}

StartupBackup::~StartupBackup() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void StartupBackup::Start() {
    if (thread_.joinable())
        return;
    released_ = false;
    thread_ = std::thread([this] { Run(); });
}

bool StartupBackup::WaitForCopy(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return releasedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [this] { return released_; });
}

void StartupBackup::Released() {
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
    }
    releasedChanged_.notify_all();
}

static void Warn(const QString& text) {
    // One write, so that a line from another thread cannot land in the middle.
    const QByteArray line = "sitemora: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

void StartupBackup::Run() {
    // The window comes first: give way to it on a busy machine (Linux sets the nice value
    // of one thread this way).
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    Backup::Options options;
    QString error;
    if (!Backup::KeepFromEnvironment(&options.keep, &error))
        Warn(QStringLiteral("%1; keeping %2 backups").arg(error).arg(options.keep));
    options.cancel = &stop_;
    options.released = [this] { Released(); };
    if (Backup::Make(catalogue_, options, nullptr, &error) == Backup::Result::Failed)
        Warn(QStringLiteral("no backup made: %1").arg(error));
}

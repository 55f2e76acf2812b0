#include "BenchSupport.h"

#include "Amalgamation.h"
#include "Catalogue.h"
#include "Cipher.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

void QuietDialogs::Information(const QString& text) {
    std::fprintf(stderr, "message: %s\n", qPrintable(text));
}

bool QuietDialogs::Confirm(const QString&, const QString&) {
    return false;
}

void QuietDialogs::ErrorReport(const QString& text) {
    std::fprintf(stderr, "error: %s\n", qPrintable(text));
}

namespace {

// Accounts on every site, a second on every other one and a third on every fifth; two
// sub-pages on every fourth site, one of them with a comma and quotes. ContentIndex
// grows with time, and each paragraph goes to any site.
const char* const kFillSql = R"SQL(
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < :sites)
INSERT INTO Web (WebName, WebUrl, WebPr, WebUser1, WebKey1, WebUser2, WebKey2,
                 WebUser3, WebKey3, WebSonName1, WebSonPage1, WebSonName2, WebSonPage2)
SELECT substr('新闻论坛商城银行邮箱博客视频地图', 1 + 2 * (i % 8), 2) || '网站 ' || i || ' Site',
       'https://www.site' || i || '.example.com/', i % 10,
       'me' || i || '@example.net', 'secret-' || i,
       CASE WHEN i % 2 = 0 THEN 'other' || i END, CASE WHEN i % 2 = 0 THEN '密码' || i END,
       CASE WHEN i % 5 = 0 THEN 'admin' END, CASE WHEN i % 5 = 0 THEN 'pw' || (i * 7919) END,
       CASE WHEN i % 4 = 0 THEN '帮助' END,
       CASE WHEN i % 4 = 0 THEN 'https://www.site' || i || '.example.com/help' END,
       CASE WHEN i % 4 = 0 THEN 'Forum, "general"' END,
       CASE WHEN i % 4 = 0 THEN 'www.site' || i || '.example.com/forum' END
FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < :paragraphs)
INSERT INTO Content (ContentWeb, ContentTxt)
SELECT 1 + abs(random() % :sites),
       '第 ' || i || ' 条：' ||
       CASE i % 3
         WHEN 0 THEN '登录后在设置页面修改了通知方式。Changed the notification settings after '
                     || 'signing in; remember the recovery codes.'
         WHEN 1 THEN '这是一段关于网站的说明文字，包括它的用途和备注。Some notes in English as well.'
         ELSE '续费日期和联系方式见下。Renewal date and contact below.'
       END || char(13, 10) || '- a second line'
FROM n WHERE i <= :paragraphs;
COMMIT;
)SQL";

} // namespace

bool MakeCatalogue(const QString& path, int sites, qint64 paragraphs, QString* error) {
    if (!Catalogue::CreateEmpty(path, error))
        return false;
    if (sites <= 0)
        return true;
    QByteArray sql(kFillSql);
    sql.replace(":sites", QByteArray::number(sites))
        .replace(":paragraphs", QByteArray::number(std::max<qint64>(0, paragraphs)));
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                                    nullptr) == SQLITE_OK &&
                    sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok && error)
        *error = QStringLiteral("filling %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db)));
    sqlite3_close(db);
    return ok;
}

QString BenchCatalogue(const QString& dir, int sites, qint64 paragraphs) {
    QString path = QDir(dir).filePath(QString::fromLatin1(Catalogue::kFileName));
    QElapsedTimer clock;
    clock.start();
    QString error;
    if (!MakeCatalogue(path, sites, paragraphs, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        std::exit(1);
    }
    if (sites > 0)
        std::printf("catalogue: %d sites, %lld paragraphs, %.0f MB, built in %.1f s\n", sites,
                    paragraphs, QFileInfo(path).size() / 1048576.0, clock.elapsed() / 1000.0);
    return path;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long PeakMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

namespace {

std::vector<QByteArray> ChildEnvironment(const QStringList& changes) {
    const auto nameOf = [](const QByteArray& variable) {
        return variable.left(variable.indexOf('=') < 0 ? variable.size() : variable.indexOf('='));
    };
    std::vector<QByteArray> changed;
    for (const QString& change : changes)
        changed.push_back(change.toLocal8Bit());
    std::vector<QByteArray> environment;
    for (char** entry = environ; *entry; ++entry) {
        const QByteArray variable(*entry);
        if (std::none_of(changed.begin(), changed.end(), [&](const QByteArray& change) {
                return nameOf(change) == nameOf(variable);
            }))
            environment.push_back(variable);
    }
    for (const QByteArray& change : changed)
        if (change.contains('='))
            environment.push_back(change);
    return environment;
}

std::vector<char*> Pointers(std::vector<QByteArray>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (QByteArray& string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

ChildResult ResultOf(int status, const rusage& usage, double seconds) {
    ChildResult result;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.seconds = seconds;
    result.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.peakMb = usage.ru_maxrss / 1024;
    return result;
}

} // namespace

Child::~Child() {
    if (pid_ > 0)
        Stop();
}

bool Child::Start(const QStringList& command, const ChildOptions& options, QString* error) {
    std::vector<QByteArray> arguments;
    for (const QString& part : command)
        arguments.push_back(QFile::encodeName(part));
    std::vector<char*> argv = Pointers(arguments);
    std::vector<QByteArray> environment = ChildEnvironment(options.environment);
    std::vector<char*> envp = Pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (options.descriptor3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.descriptor3, 3);
    const QByteArray dir = QFile::encodeName(options.dir);
    if (!dir.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    clock_.start();
    const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0)
        return true;
    pid_ = -1;
    if (error)
        *error = QStringLiteral("cannot start %1: %2")
                     .arg(command.value(0), QString::fromLocal8Bit(std::strerror(rc)));
    return false;
}

bool Child::Reap(int flags) {
    int status = 0;
    rusage usage{};
    if (wait4(pid_, &status, flags, &usage) != pid_)
        return false;
    ended_ = ResultOf(status, usage, ElapsedMs() / 1000);
    pid_ = -1;
    return true;
}

bool Child::Running() {
    return pid_ > 0 && !Reap(WNOHANG);
}

ChildResult Child::Stop() {
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    return Wait();
}

ChildResult Child::Wait() {
    if (pid_ > 0 && !Reap(0))
        pid_ = -1; // not ours to wait for any more
    return ended_;
}

ChildResult RunChild(const QStringList& command, const ChildOptions& options) {
    Child child;
    return child.Start(command, options, nullptr) ? child.Wait() : ChildResult{};
}

void UseBenchPassphrase() {
    Cipher::SetPassphraseSource([](const QString&, Cipher::Ask ask, Cipher::Secret* passphrase) {
        *passphrase = Cipher::Secret(sizeof kBenchPassphrase);
        return ask == Cipher::Ask::First &&
               passphrase->Append(kBenchPassphrase, std::strlen(kBenchPassphrase));
    });
}

int PassphrasePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    // Far less than a pipe holds, so the write never waits for a reader.
    const std::string_view line(kBenchPassphrase);
    const bool written = ::write(fds[1], line.data(), line.size()) == ssize_t(line.size()) &&
                         ::write(fds[1], "\n", 1) == 1;
    ::close(fds[1]);
    if (written)
        return fds[0];
    ::close(fds[0]);
    return -1;
}

QString EncryptedCopy(const QString& path, const QString& dir) {
    QString copy = QDir(dir).filePath(QString::fromLatin1(Catalogue::kFileName));
    QElapsedTimer clock;
    clock.start();
    ChildOptions options;
    options.descriptor3 = PassphrasePipe();
    const bool ok = QFile::copy(path, copy) && options.descriptor3 >= 0 &&
                    RunChild({QStringLiteral(SITEMORA_KEY_TOOL), QStringLiteral("--catalogue"),
                              copy, QStringLiteral("--passphrase-fd"), QStringLiteral("3"),
                              QStringLiteral("encrypt")},
                             options)
                        .ok &&
                    Cipher::ExamineFile(copy) == Cipher::Kind::Encrypted;
    if (options.descriptor3 >= 0)
        ::close(options.descriptor3);
    // Both files on the disk now, so that writing them out falls into nothing timed.
    ::sync();
    if (!ok) {
        std::fprintf(stderr, "cannot make an encrypted copy of %s\n", qPrintable(path));
        std::exit(1);
    }
    std::printf("encrypted copy: %.0f MB, made by sitemora-key in %.1f s\n",
                QFileInfo(copy).size() / 1048576.0, clock.elapsed() / 1000.0);
    return copy;
}

double DerivationMs() {
    constexpr Cipher::Cost cost = Cipher::kCatalogueCost;
    const unsigned char salt[Cipher::kSaltBytes] = {1, 2, 3};
    unsigned char key[Cipher::kKeyBytes];
    QElapsedTimer clock;
    clock.start();
    if (SitemoraArgon2id(cost.passes, cost.memoryKiB, cost.lanes, kBenchPassphrase,
                         std::strlen(kBenchPassphrase), salt, sizeof salt, key, sizeof key) != 0) {
        std::fprintf(stderr, "the key derivation failed\n");
        std::exit(1);
    }
    return clock.nsecsElapsed() / 1e6;
}

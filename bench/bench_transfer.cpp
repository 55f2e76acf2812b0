// Times sitemora-export in each format on a catalogue of 100,000 sites and 1,000,000
// paragraphs, and sitemora-import --merge on a bookmark file of 10,000 bookmarks and on
// the JSON export, each in a child process so its peak memory is its own.
// Run: build/bench/sitemora-bench-transfer [sites] [paragraphs-per-site]
#include "Catalogue.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Sites get names, addresses, accounts and, for every fourth one, two sub-pages;
// paragraphs go to sites at random, as years of notes would.
const char* const kFillSql = R"SQL(
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < :sites)
INSERT INTO Web (WebName, WebUrl, WebPr, WebUser1, WebKey1, WebUser2, WebKey2,
                 WebSonName1, WebSonPage1, WebSonName2, WebSonPage2)
SELECT '书签站点 ' || i, 'https://site' || i || '.example.net/', i % 7,
       'me' || i || '@example.net', 'secret-' || i, 'other' || i, '密码' || i,
       CASE WHEN i % 4 = 0 THEN '帮助' END,
       CASE WHEN i % 4 = 0 THEN 'https://site' || i || '.example.net/help' END,
       CASE WHEN i % 4 = 0 THEN 'Forum, "general"' END,
       CASE WHEN i % 4 = 0 THEN 'site' || i || '.example.net/forum' END
FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < :paragraphs)
INSERT INTO Content (ContentWeb, ContentTxt)
SELECT abs(random()) % :sites + 1,
       '第 ' || i || ' 条笔记：登录后在设置页面修改了通知方式。Changed the notification '
       || 'settings after signing in; remember the recovery codes.' || char(13, 10)
       || '- second line'
FROM n;
COMMIT;
)SQL";

bool Fill(const QString& path, int sites, qint64 paragraphs) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK;
    QByteArray sql(kFillSql);
    sql.replace(":sites", QByteArray::number(sites))
        .replace(":paragraphs", QByteArray::number(paragraphs));
    ok = ok && sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        std::fprintf(stderr, "filling the catalogue: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
}

QByteArray BookmarkFile(int count) {
    QByteArray html = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<META HTTP-EQUIV=\"Content-Type\" "
                      "CONTENT=\"text/html; charset=UTF-8\">\n<TITLE>Bookmarks</TITLE>\n"
                      "<H1>Bookmarks</H1>\n<DL><p>\n";
    for (int i = 0; i < count; ++i) {
        if (i % 100 == 0)
            html += (i > 0 ? "    </DL><p>\n" : "") + QByteArray("    <DT><H3>文件夹 ") +
                    QByteArray::number(i / 100) + "</H3>\n    <DL><p>\n";
        html += "        <DT><A HREF=\"https://mark" + QByteArray::number(i) +
                ".example.org/a?b=1&amp;c=2\" ADD_DATE=\"1700000000\">收藏 " +
                QByteArray::number(i) + "</A>\n";
        if (i % 10 == 0)
            html += "        <DD>A few words about it.\n";
    }
    return html + "    </DL><p>\n</DL><p>\n";
}

struct Child {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    long peakMb = 0;
};

// Runs a program to its end, its output dropped; its wall time, the processor time it
// used (what a busy machine does not inflate) and its peak resident memory.
Child RunChild(const QStringList& command) {
    std::vector<QByteArray> bytes;
    bytes.reserve(size_t(command.size()));
    for (const QString& part : command)
        bytes.push_back(QFile::encodeName(part));
    std::vector<char*> argv;
    argv.reserve(bytes.size() + 1);
    for (QByteArray& part : bytes)
        argv.push_back(part.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    Child child;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0)
        return child;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return child;
    child.seconds = clock.nsecsElapsed() / 1e9;
    child.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    child.peakMb = usage.ru_maxrss / 1024;
    child.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return child;
}

void Report(const char* what, const Child& child, const char* target) {
    if (!child.ok)
        std::printf("%-28s failed\n", what);
    else
        std::printf("%-28s %6.2f s (%5.2f s processor) %5ld MB   %s\n", what, child.seconds,
                    child.cpuSeconds, child.peakMb, target);
}

} // namespace

int main(int argc, char** argv) {
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;
    QTemporaryDir dir;
    const QString catalogue = dir.filePath(QStringLiteral("Sitemora.mdb"));
    QString error;
    if (!Catalogue::CreateEmpty(catalogue, &error) ||
        !Fill(catalogue, sites, qint64(sites) * perSite)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("catalogue: %d sites, %lld paragraphs, %.0f MB\n", sites, qint64(sites) * perSite,
                QFileInfo(catalogue).size() / 1048576.0);

    const QString exporter = QStringLiteral(SITEMORA_EXPORT_TOOL);
    for (const char* format : {"json", "csv", "bookmarks"}) {
        const QString out = dir.filePath(QStringLiteral("out.") + QLatin1String(format));
        const Child child =
            RunChild({exporter, "--catalogue", catalogue, "--format", QLatin1String(format), out});
        Report(qPrintable(QStringLiteral("export %1 (%2 MB)")
                              .arg(QLatin1String(format))
                              .arg(QFileInfo(out).size() / 1048576)),
               child, "target < 3 s, < 150 MB");
    }

#ifdef SITEMORA_IMPORT_TOOL
    const QString importer = QStringLiteral(SITEMORA_IMPORT_TOOL);
    const QString bookmarks = dir.filePath(QStringLiteral("bookmarks.html"));
    QFile file(bookmarks);
    if (!file.open(QIODevice::WriteOnly) || file.write(BookmarkFile(10000)) < 0)
        return 1;
    file.close();
    Report("merge 10,000 bookmarks",
           RunChild({importer, "--catalogue", catalogue, "--merge", bookmarks}),
           "target < 1 s (into the catalogue above)");
    const QString empty = dir.filePath(QStringLiteral("Empty.mdb"));
    if (!Catalogue::CreateEmpty(empty, &error))
        return 1;
    Report("restore the JSON export",
           RunChild({importer, "--catalogue", empty, "--merge", dir.filePath("out.json")}),
           "into an empty catalogue");
#endif
    return 0;
}

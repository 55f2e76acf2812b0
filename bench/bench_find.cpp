// The find at 100,000 sites and 1,000,000 paragraphs: how long building the index takes,
// what it costs on disk, how fast the first 200 results of a query come beside SQLite
// scanning the same texts with instr, and how soon the window shows its first result.
//
//   sitemora-bench-find [SITES [PARAGRAPHS [RUNS]]]
#include "BenchSupport.h"
#include "Catalogue.h"
#include "FindBuild.h"
#include "Finder.h"
#include "FindForm.h"
#include "FindIndex.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <sqlite3.h>
#include <sys/resource.h>

namespace {

// Rare words put into a few notes, so that short queries can be selective too.
const char* const kRareSql = R"SQL(
UPDATE Content SET ContentTxt = ContentTxt || ' 鹦鹉螺' WHERE ContentIndex % 50000 = 7;
UPDATE Content SET ContentTxt = ContentTxt || ' 龘' WHERE ContentIndex % 200000 = 11;
)SQL";

// The searched texts, as the index reads them: every box but the passwords, and the
// paragraphs that belong to a site.
const char* const kTextBytesSql =
    "SELECT (SELECT sum(length(CAST(ifnull(WebName,'') || ifnull(WebUrl,'') || ifnull(WebPr,'')"
    " || ifnull(WebUser1,'') || ifnull(WebUser2,'') || ifnull(WebUser3,'')"
    " || ifnull(WebSonName1,'') || ifnull(WebSonPage1,'') || ifnull(WebSonName2,'')"
    " || ifnull(WebSonPage2,'') AS BLOB))) FROM Web)"
    " + (SELECT sum(length(CAST(ContentTxt AS BLOB))) FROM Content WHERE ContentWeb > 0)";

const char* const kScanSql =
    "SELECT count(*) FROM (SELECT ContentWeb FROM Content WHERE ContentWeb > 0"
    " AND instr(ContentTxt, ?1) UNION SELECT WebIndex FROM Web WHERE instr(WebName, ?1)"
    " OR instr(WebUrl, ?1) OR instr(WebPr, ?1) OR instr(WebUser1, ?1) OR instr(WebUser2, ?1)"
    " OR instr(WebUser3, ?1) OR instr(WebSonName1, ?1) OR instr(WebSonPage1, ?1)"
    " OR instr(WebSonName2, ?1) OR instr(WebSonPage2, ?1))";

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 Scalar(sqlite3* db, const char* sql) {
    Sqlite::Statement statement(db, sql);
    return statement.Next() ? statement.Integer(0) : -1;
}

struct Timing {
    double firstMs = 0;
    qsizetype first = 0;
};

Timing FirstResults(sqlite3* db, const QString& query, int runs) {
    std::vector<double> times;
    qsizetype found = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        Find::Finder finder(db, query);
        QList<Find::Result> results;
        QString error;
        if (!finder.Next(200, &results, &error))
            std::fprintf(stderr, "find failed: %s\n", qPrintable(error));
        times.push_back(clock.nsecsElapsed() / 1e6);
        found = results.size();
    }
    return {Median(times), found};
}

double CountMs(sqlite3* db, const QString& query, qint64* count) {
    QElapsedTimer clock;
    clock.start();
    Find::Finder finder(db, query);
    QList<Find::Result> results;
    while (!finder.AtEnd()) {
        if (!finder.Next(1000, &results, nullptr))
            break;
    }
    *count = results.size();
    return clock.nsecsElapsed() / 1e6;
}

double ScanMs(sqlite3* db, const QString& query, qint64* count) {
    QElapsedTimer clock;
    clock.start();
    Sqlite::Statement scan(db, kScanSql);
    scan.BindText(1, query.toUtf8());
    *count = scan.Next() ? scan.Integer(0) : -1;
    return clock.nsecsElapsed() / 1e6;
}

// From the last key of the query to the first row in the window.
double OnScreenMs(const QString& catalogue, const QString& query) {
    TFormFind form(catalogue);
    form.show();
    const QString head = query.left(query.size() - 1);
    for (const QChar c : head)
        QTest::sendKeyEvent(QTest::Click, form.Edit1, Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::qWait(300);
    // Waited for in the event loop, as the program does, not by spinning beside the find.
    QEventLoop loop;
    QObject::connect(form.ListView1->model(), &QAbstractItemModel::rowsInserted, &loop,
                     &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(10000);
    QElapsedTimer clock;
    clock.start();
    QTest::sendKeyEvent(QTest::Click, form.Edit1, Qt::Key_unknown, query.right(1), Qt::NoModifier);
    if (form.ListView1->topLevelItemCount() == 0)
        loop.exec();
    return clock.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const qint64 paragraphs = argc > 2 ? std::atoll(argv[2]) : 1000000;
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    QTemporaryDir dir;
    const QString path = BenchCatalogue(dir.path(), sites, paragraphs);
    Sqlite::Database db;
    QString error;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadWrite, &db, &error) ||
        !Sqlite::Exec(db.Get(), kRareSql, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const qint64 textBytes = Scalar(db.Get(), kTextBytesSql);

    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = CpuSeconds();
    if (Find::KeepCurrent(db.Get(), path, false, nullptr, &error) != Find::Progress::Idle) {
        std::fprintf(stderr, "building the index failed: %s\n", qPrintable(error));
        return 1;
    }
    const double buildS = clock.elapsed() / 1000.0;
    const double buildCpuS = CpuSeconds() - cpuBefore;
    const qint64 catalogueBytes = QFileInfo(path).size();
    const qint64 indexBytes = QFileInfo(Find::IndexPath(path)).size();
    std::printf(
        "index built in %.1f s (processor %.1f s); index %.1f MB beside a catalogue of %.1f MB; "
        "%.1f MB of searched text, index %.2f times that\n",
        buildS, buildCpuS, indexBytes / 1048576.0, catalogueBytes / 1048576.0,
        textBytes / 1048576.0, double(indexBytes) / double(textBytes));

    std::printf("%-16s %8s %10s %10s %8s %8s\n", "query", "found", "first200", "instr", "ratio",
                "on screen");
    // A run of characters from one note, and from one site's boxes.
    const QStringList queries{QStringLiteral("第 %1 条").arg(paragraphs * 2 / 3 + 1),
                              QStringLiteral("Site %1").arg(sites / 2 + 1),
                              QStringLiteral("鹦鹉螺"),
                              QStringLiteral("鹦鹉"),
                              QStringLiteral("龘"),
                              QStringLiteral("网")};
    for (const QString& query : queries) {
        const Timing first = FirstResults(db.Get(), query, runs);
        qint64 scanned = 0;
        const double scanMs = ScanMs(db.Get(), query, &scanned);
        const double screenMs = OnScreenMs(path, query);
        std::printf("%-16s %8lld %8.1fms %8.1fms %7.0fx %7.1fms\n", qPrintable(query),
                    qint64(first.first), first.firstMs, scanMs, scanMs / first.firstMs, screenMs);
    }
    qint64 count = 0;
    const double countMs = CountMs(db.Get(), QStringLiteral("网"), &count);
    std::printf("counting every site with 网: %lld sites in %.0f ms\n", count, countMs);
    std::fflush(stdout);
    return 0;
}

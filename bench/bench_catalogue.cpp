// Builds a catalogue of 100,000 sites and 1,000,000 paragraphs in a temporary
// directory and times the main window on it beside SQLite's own time for the same
// statements. Run: build/bench/sitemora-bench [sites] [paragraphs-per-site]
#include "Catalogue.h"
#include "DataGrid.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "PublicFunction.h"
#include "SearchForm.h"
#include "ShareDM.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sqlite3.h>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = QElapsedTimer;

class SilentDialogs : public Dialogs {
public:
    void Information(const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool Confirm(const QString&, const QString&) override { return false; }
    void ErrorReport(const QString& text) override {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
};

void Check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

void Fill(const QString& path, int sites, int perSite) {
    sqlite3* db = nullptr;
    Check(sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr),
          db);
    Check(sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr,
                       nullptr, nullptr),
          db);
    QString columns;
    QString marks;
    for (const QString& c : Catalogue::WebTextColumns()) {
        columns += (columns.isEmpty() ? "" : ",") + c;
        marks += marks.isEmpty() ? "?" : ",?";
    }
    sqlite3_stmt* web = nullptr;
    sqlite3_stmt* content = nullptr;
    Check(sqlite3_prepare_v2(db,
                             QStringLiteral("INSERT INTO Web (%1) VALUES (%2)")
                                 .arg(columns, marks)
                                 .toUtf8()
                                 .constData(),
                             -1, &web, nullptr),
          db);
    Check(sqlite3_prepare_v2(db, "INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, ?)", -1,
                             &content, nullptr),
          db);
    std::mt19937 random(42);
    const int textColumns = static_cast<int>(Catalogue::WebTextColumns().size());
    std::vector<std::pair<int, int>> paragraphs;
    paragraphs.reserve(size_t(sites) * perSite);
    for (int s = 1; s <= sites; ++s) {
        for (int c = 0; c < textColumns; ++c) {
            QByteArray text;
            if (c == 0)
                text = QStringLiteral("网站 %1 Site").arg(s).toUtf8();
            else if (c == 1)
                text = QStringLiteral("https://www.example%1.com/").arg(s).toUtf8();
            else if (c == 2)
                text = QByteArray::number(s % 10);
            else if (c < 9 || (random() % 4) == 0)
                text = QStringLiteral("值%1-%2").arg(c).arg(s).toUtf8();
            if (text.isNull())
                sqlite3_bind_null(web, c + 1);
            else
                sqlite3_bind_text(web, c + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        }
        Check(sqlite3_step(web), db);
        sqlite3_reset(web);
        for (int p = 0; p < perSite; ++p)
            paragraphs.emplace_back(s, p);
    }
    // Paragraphs are written over time, not site by site: shuffle so that a site's
    // paragraphs are scattered through the file as in a real catalogue.
    std::shuffle(paragraphs.begin(), paragraphs.end(), random);
    const QByteArray body =
        QStringLiteral("这是一段关于网站的说明文字，包括它的用途和备注。Some notes in English "
                       "as well, about sixty characters long.\r\nA second line.")
            .toUtf8();
    for (const auto& [site, n] : paragraphs) {
        const QByteArray text = QByteArray::number(n) + ": " + body;
        sqlite3_bind_int(content, 1, site);
        sqlite3_bind_text(content, 2, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        Check(sqlite3_step(content), db);
        sqlite3_reset(content);
    }
    sqlite3_finalize(web);
    sqlite3_finalize(content);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
}

// SQLite alone: prepare, bind, step every row and read every column as text.
double SqliteMs(sqlite3* db, const QString& sql, const QVariantList& values = {}) {
    Clock clock;
    clock.start();
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr), db);
    for (int i = 0; i < values.size(); ++i) {
        const QByteArray text = values[i].toString().toUtf8();
        sqlite3_bind_text(st, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
    }
    const int columns = sqlite3_column_count(st);
    size_t bytes = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
        for (int c = 0; c < columns; ++c) {
            sqlite3_column_text(st, c);
            bytes += sqlite3_column_bytes(st, c);
        }
    sqlite3_finalize(st);
    // Kept where the compiler cannot drop the reads that produced it.
    static volatile size_t sink;
    sink = sink + bytes;
    return clock.nsecsElapsed() / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Fn> double BestOf(int runs, Fn fn) {
    double best = 1e18;
    for (int i = 0; i < runs; ++i) {
        Clock clock;
        clock.start();
        fn();
        best = std::min(best, clock.nsecsElapsed() / 1e6);
    }
    return best;
}

long PeakMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Stops the clock at the first paint of the list, the last thing to appear.
class FirstPaint : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;

    QTemporaryDir dir;
    const QString path = dir.filePath("Sitemora.mdb");
    QString error;
    if (!Catalogue::CreateEmpty(path, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    Clock build;
    build.start();
    Fill(path, sites, perSite);
    std::printf("catalogue: %d sites, %d paragraphs, %.0f MB, built in %.1f s\n", sites,
                sites * perSite, QFileInfo(path).size() / 1048576.0, build.elapsed() / 1000.0);
    QDir::setCurrent(dir.path());
    const long peakBeforeUi = PeakMb();

    // Start-up to the first painted list, as a user starting the program sees it.
    Clock startClock;
    startClock.start();
    QApplication app(argc, argv);
    SilentDialogs dialogs;
    TFormMain form;
    TShareDataModule dataModule(dialogs);
    form.AttachDataModule(&dataModule);
    TFormSearch search(&form);
    form.AttachForms(nullptr, &search);
    FirstPaint firstPaint;
    form.DBGridEh1->View()->viewport()->installEventFilter(&firstPaint);
    form.show();
    while (!firstPaint.painted)
        app.processEvents();
    const double startMs = startClock.nsecsElapsed() / 1e6;

    sqlite3* db = dataModule.ADOConnection1.Handle();
    const QString list = QStringLiteral("Select * From Web Where (WebIndex > 0) Order By WebIndex");
    SqliteMs(db, list); // warm the page cache for both sides alike
    const double sqliteList = BestOf(5, [&] { SqliteMs(db, list); });
    const double refresh = BestOf(5, [&] {
        form.RefreshSiteList();
        app.processEvents();
    });

    std::mt19937 random(7);
    std::vector<double> moves;
    std::vector<double> sqliteMoves;
    QTableView* view = form.DBGridEh1->View();
    for (int i = 0; i < 400; ++i) {
        const int row = int(random() % std::max(1, sites));
        const qint64 web = form.ADOQuery1.TextAt(row, 0).toLongLong();
        sqliteMoves.push_back(SqliteMs(
            db, QStringLiteral("Select * From Content Where ContentWeb = %1 Order By ContentIndex")
                    .arg(web)));
        Clock clock;
        clock.start();
        view->setCurrentIndex(view->model()->index(row, 1));
        moves.push_back(clock.nsecsElapsed() / 1e6);
    }

    search.NameFilter = QStringLiteral("99");
    QVariantList values;
    const QString filtered = QStringLiteral("Select * From Web Where (WebIndex > 0)") +
                             search.FilterClauses(&values) + QStringLiteral(" Order By WebIndex");
    const double sqliteSearch = BestOf(5, [&] { SqliteMs(db, filtered, values); });
    const double searchMs = BestOf(5, [&] {
        form.RefreshSiteList();
        app.processEvents();
    });
    const int found = form.ADOQuery1.RecordCount();

    // The editor's "新增" and a new site's store open a whole table only to insert
    // into it; time them as the editor runs them, rolled back so runs stay alike.
    const auto insertInto = [&](const QString& statement, const QString& field) {
        return BestOf(5, [&] {
            Transaction transaction(dataModule.ADOConnection1);
            transaction.Begin(nullptr);
            Query& scratch = dataModule.ADOQueryTemp;
            OpenQuery(scratch, statement, kOpenFailure, dialogs);
            scratch.Append();
            scratch.SetField(field, QStringLiteral("new"));
            scratch.Post(nullptr);
            scratch.Close();
        });
    };
    const double addParagraph = insertInto("Select * From Content", "ContentTxt");
    const double addSite = insertInto("Select * From Web", "WebName");

    std::printf("start to painted list:   %8.1f ms   (target < 300 ms)\n", startMs);
    std::printf("RefreshSiteList:         %8.1f ms   SQLite alone %.1f ms, ratio %.2f (target <= "
                "1.5)\n",
                refresh, sqliteList, refresh / sqliteList);
    std::printf("change of selection:     %8.3f ms   median, SQLite alone %.3f ms (target < 1 "
                "ms)\n",
                Median(moves), Median(sqliteMoves));
    std::printf("accepted search:         %8.1f ms   SQLite alone %.1f ms, %d sites found\n",
                searchMs, sqliteSearch, found);
    std::printf("add a paragraph:         %8.3f ms   (opens all %d paragraphs to insert)\n",
                addParagraph, sites * perSite);
    std::printf("store a new site:        %8.3f ms   (opens all %d sites to insert)\n", addSite,
                sites);
    std::printf("peak memory:             %8ld MB   (%ld MB before the window; target < 150)\n",
                PeakMb(), peakBeforeUi);
    return 0;
}

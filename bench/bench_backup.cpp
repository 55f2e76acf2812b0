// Times the start of the main window on a large catalogue when the start has a backup to
// make beside a start that has none, how the list answers while the copy runs, and the
// backup's own duration. Run: build/bench/sitemora-bench-backup [sites] [paragraphs-per-site]
// [starts]
#include "Backup.h"
#include "Catalogue.h"
#include "DataGrid.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "StartupBackup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <vector>

namespace {

class QuietDialogs : public Dialogs {
public:
    void Information(const QString& text) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool Confirm(const QString&, const QString&) override { return false; }
    void ErrorReport(const QString& text) override {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    }
};

bool Fill(const QString& path, int sites, int perSite) {
    QString columns = QStringLiteral("WebName, WebUrl, WebPr");
    QString values = QStringLiteral("'网站 ' || i || ' Site', 'https://www.example' || i || "
                                    "'.com/', i % 10");
    for (int c = 3; c < 9; ++c) {
        columns += QStringLiteral(", ") + Catalogue::WebTextColumns()[c];
        values += QStringLiteral(", '值%1-' || i").arg(c);
    }
    // Paragraphs go to sites at random, scattered through the file as they would be when
    // written over the years.
    const QString sql =
        QStringLiteral(
            "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)"
            " INSERT INTO Web (%2) SELECT %3 FROM n;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %4)"
            " INSERT INTO Content (ContentWeb, ContentTxt) SELECT 1 + abs(random() % %1),"
            " (i % %5) || ': 这是一段关于网站的说明文字，包括它的用途和备注。Some notes in "
            "English as well, about sixty characters long.' || char(13, 10) || 'A second line.'"
            " FROM n; COMMIT;")
            .arg(sites)
            .arg(columns, values)
            .arg(qint64(sites) * perSite)
            .arg(std::max(1, perSite));
    sqlite3* db = nullptr;
    const bool ok =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK &&
        sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

class PaintSeen : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

struct Start {
    double toListMs = 0;
    double selectionMs = 0; // median change of selection right after
};

// One start as app/main.cpp wires it, to the first painted list, then a few changes of
// selection while a backup may still be copying.
Start StartOnce(QApplication& app) {
    QElapsedTimer clock;
    clock.start();
    QuietDialogs dialogs;
    StartupBackup backup(QString::fromLatin1(Catalogue::kFileName));
    TFormMain form;
    TShareDataModule dataModule(dialogs);
    dataModule.ADOConnection1.SetBeforeFirstWrite([&backup] { backup.WaitForCopy(); });
    backup.Start();
    form.AttachDataModule(&dataModule);
    TFormSearch search(&form);
    form.AttachForms(nullptr, &search);
    PaintSeen paint;
    QTableView* view = form.DBGridEh1->View();
    view->viewport()->installEventFilter(&paint);
    form.show();
    while (!paint.painted)
        app.processEvents();
    Start start;
    start.toListMs = clock.nsecsElapsed() / 1e6;
    std::vector<double> moves;
    const int rows = view->model()->rowCount();
    for (int i = 1; i <= 50 && rows > 0; ++i) {
        clock.restart();
        view->setCurrentIndex(view->model()->index((i * 7919) % rows, 1));
        app.processEvents();
        moves.push_back(clock.nsecsElapsed() / 1e6);
    }
    start.selectionMs = Median(moves);
    return start;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;
    const int starts = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromLatin1(Catalogue::kFileName));
    QString error;
    if (!Catalogue::CreateEmpty(path, &error) || !Fill(path, sites, perSite)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("catalogue: %d sites, %lld paragraphs, %.0f MB\n", sites, qint64(sites) * perSite,
                QFileInfo(path).size() / 1048576.0);
    QDir::setCurrent(dir.path());
    QApplication app(argc, argv);

    const QString folder = Backup::FolderOf(QString::fromLatin1(Catalogue::kFileName));
    Backup::Options options;
    options.onlyIfChanged = false;
    QElapsedTimer clock;
    clock.start();
    if (Backup::Make(QString::fromLatin1(Catalogue::kFileName), options, nullptr, &error) !=
        Backup::Result::Written) {
        std::fprintf(stderr, "backup: %s\n", qPrintable(error));
        return 1;
    }
    const double backupMs = clock.nsecsElapsed() / 1e6;

    // Alternating, so both kinds of start see the same machine and page cache.
    std::vector<double> plain, withCopy, plainMoves, copyMoves;
    for (int i = 0; i < starts; ++i) {
        const Start without = StartOnce(app); // the newest backup is up to date
        plain.push_back(without.toListMs);
        plainMoves.push_back(without.selectionMs);
        QDir(folder).removeRecursively();
        const Start with = StartOnce(app);
        withCopy.push_back(with.toListMs);
        copyMoves.push_back(with.selectionMs);
        // Leaves an up-to-date backup for the next start without one.
        Backup::Options again;
        Backup::Make(QString::fromLatin1(Catalogue::kFileName), again, nullptr, nullptr);
    }
    std::printf("backup alone:            %8.1f ms   (copy, check and flush, in the background)\n",
                backupMs);
    std::printf("start to painted list:   %8.1f ms   without a backup to make\n", Median(plain));
    std::printf("                         %8.1f ms   with one, ratio %.2f (target <= 1.10)\n",
                Median(withCopy), Median(withCopy) / Median(plain));
    std::printf("change of selection:     %8.3f ms   median just after start, %.3f ms while "
                "copying\n",
                Median(plainMoves), Median(copyMoves));
    return 0;
}

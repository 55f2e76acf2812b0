// Times the real program's start on a large catalogue, under a private X server, when
// the start has a backup to make beside a start that has none; then the backup's own
// duration with how long it holds the catalogue, beside a backup of a copy of the same
// catalogue encrypted by sitemora-key, and how the list answers while the copy runs.
// Run: build/bench/sitemora-bench-backup [sites] [paragraphs-per-site] [starts]
#include "Backup.h"
#include "BenchSupport.h"
#include "Catalogue.h"
#include "DataGrid.h"
#include "DesktopOpener.h"
#include "MainForm.h"
#include "ProcessStart.h"
#include "Session.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <vector>

namespace {

// Changes a site as the user would, so that the next start has a backup to make.
bool TouchSite(const QString& path) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                                    nullptr) == SQLITE_OK &&
                    sqlite3_exec(db, "UPDATE Web SET WebPr = (WebPr + 1) % 10 WHERE WebIndex = 1",
                                 nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The newest backup's name, after making one if the catalogue changed since.
QString NewestBackup(const QString& path) {
    Backup::Make(path, Backup::Options(), nullptr, nullptr);
    const QList<Backup::Entry> entries = Backup::List(path);
    return entries.isEmpty() ? QString() : entries.first().name;
}

struct Copying {
    double ms = 0;
    double heldMs = 0;
};

// A backup of the catalogue at `path`, made whether or not it changed.
Copying TimeBackup(const QString& path) {
    Backup::Options always;
    always.onlyIfChanged = false;
    always.keep = 2;
    QElapsedTimer clock;
    Copying copying;
    always.released = [&] { copying.heldMs = clock.nsecsElapsed() / 1e6; };
    QString error;
    clock.start();
    if (Backup::Make(path, always, nullptr, &error) != Backup::Result::Written) {
        std::fprintf(stderr, "backup: %s\n", qPrintable(error));
        std::exit(1);
    }
    copying.ms = clock.nsecsElapsed() / 1e6;
    return copying;
}

struct Starts {
    std::vector<double> mapped;
    std::vector<double> painted;
    long peakMb = 0;
    int copied = 0; // starts after which a new backup was there
};

// The program started `runs` times each way, alternating so that both kinds of start
// see the same machine and page cache. False when a start failed, with `error`.
bool TimeStarts(const QString& path, const QString& display, int runs, Starts (&starts)[2],
                QString* error) {
    const QString program = QStringLiteral(SITEMORA_PROGRAM);
    const QSize size(TFormMain::kClientWidth, TFormMain::kClientHeight);
    ChildOptions options;
    options.dir = QFileInfo(path).path();
    // Each start with a copy to make adds a backup the size of the catalogue.
    options.environment << QStringLiteral("%1=2").arg(QLatin1String(Backup::kKeepVariable));
    StartTiming timing;
    // The first start fills the system's caches (fonts, libraries) for all that follow.
    NewestBackup(path);
    TimeStart({program}, options, display, size, &timing, error);
    for (int run = 0; run < runs; ++run) {
        for (int which = 0; which < 2; ++which) {
            const QString before = NewestBackup(path);
            if (which == 1 && !TouchSite(path)) {
                *error = QStringLiteral("cannot change the catalogue");
                return false;
            }
            if (!TimeStart({program}, options, display, size, &timing, error))
                return false;
            const QString after = Backup::List(path).value(0).name;
            if (which == 0 && after != before) {
                *error = QStringLiteral("a start with nothing changed made a backup");
                return false;
            }
            starts[which].copied += after != before;
            starts[which].mapped.push_back(timing.mappedMs);
            starts[which].painted.push_back(timing.paintedMs);
            starts[which].peakMb = std::max(starts[which].peakMb, timing.peakMb);
        }
    }
    return true;
}

// The median time of a change of selection in the list just after a start, while the
// start's backup (if one is needed) may still be copying.
double SelectionMs(QApplication& app) {
    QuietDialogs dialogs;
    struct : DesktopOpener {
        void Open(const QString&, FailureReport) override {}
    } opener;
    // The windows and the backup as the program wires them: the copy begins once the
    // main window has been painted.
    Session session(dialogs, opener);
    TFormMain& form = session.FormMain();
    form.show();
    app.processEvents();
    app.processEvents();
    QTableView* view = form.DBGridEh1->View();
    std::vector<double> moves;
    const int rows = view->model()->rowCount();
    QElapsedTimer clock;
    for (int i = 1; i <= 50 && rows > 0; ++i) {
        clock.start();
        view->setCurrentIndex(view->model()->index((i * 7919) % rows, 1));
        app.processEvents();
        moves.push_back(clock.nsecsElapsed() / 1e6);
    }
    return Median(moves);
}

} // namespace

int main(int argc, char** argv) {
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    QTemporaryDir dir;
    QTemporaryDir encryptedDir;
    const QString path = BenchCatalogue(dir.path(), sites, qint64(sites) * perSite);
    const QString encrypted = EncryptedCopy(path, encryptedDir.path());
    UseBenchPassphrase();
    QString error;

    // One of each first, to fill the page cache and derive the key as the program's start
    // does before its backup; then in turn, each first in every other pair, since the
    // first of two backups in a row was seen to hold the catalogue far longer.
    TimeBackup(path);
    TimeBackup(encrypted);
    std::vector<Copying> plain;
    std::vector<Copying> locked;
    for (int run = 0; run < 4; ++run) {
        const bool plainFirst = run % 2 == 0;
        for (const bool isPlain : {plainFirst, !plainFirst})
            (isPlain ? plain : locked).push_back(TimeBackup(isPlain ? path : encrypted));
    }
    const auto median = [](const std::vector<Copying>& copies, double Copying::*part) {
        std::vector<double> values;
        values.reserve(copies.size());
        for (const Copying& copy : copies)
            values.push_back(copy.*part);
        return Median(values);
    };
    const double plainMs = median(plain, &Copying::ms);
    const double lockedMs = median(locked, &Copying::ms);
    std::printf("backup alone:            %8.1f ms   (copy, check and flush, in the background; "
                "median of 4)\n",
                plainMs);
    std::printf("  catalogue held:        %8.1f ms   (another copy's store waits at most this)\n",
                median(plain, &Copying::heldMs));
    std::printf("  encrypted:             %8.1f ms   held %.1f ms; %.2f times plain (target "
                "<= 1.50)%s\n",
                lockedMs, median(locked, &Copying::heldMs), lockedMs / plainMs,
                lockedMs / plainMs > 1.5 ? "  MISSED" : "");

    PrivateDisplay display;
    Starts starts[2];
    if (!display.Running()) {
        std::printf("process start:           skipped (%s)\n", qPrintable(display.Error()));
    } else if (!TimeStarts(path, display.Name(), runs, starts, &error)) {
        std::printf("process start:           failed (%s)\n", qPrintable(error));
    } else {
        const double without = Median(starts[0].painted);
        const double with = Median(starts[1].painted);
        std::printf("process start to painted window, Xvfb %s, median of %d:\n",
                    qPrintable(display.Name()), runs);
        std::printf("  no backup to make:     %8.1f ms   (mapped at %.1f ms), peak %ld MB\n",
                    without, Median(starts[0].mapped), starts[0].peakMb);
        std::printf("  a backup to make:      %8.1f ms   (mapped at %.1f ms), peak %ld MB, "
                    "copy done in %d of %d starts\n",
                    with, Median(starts[1].mapped), starts[1].peakMb, starts[1].copied, runs);
        std::printf("  ratio:                 %8.2f      (target <= 1.10 at 100,000 sites and "
                    "1,000,000 paragraphs)\n",
                    with / without);
    }

    // How the list answers while a copy runs, inside this process on the offscreen
    // platform, beside the same start with nothing to copy.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir::setCurrent(dir.path());
    QApplication app(argc, argv);
    NewestBackup(path);
    const double plainMove = SelectionMs(app);
    TouchSite(path);
    const double copyMove = SelectionMs(app);
    std::printf("change of selection:     %8.3f ms   median just after start, %.3f ms while "
                "copying\n",
                plainMove, copyMove);
    return 0;
}

// Builds a plain catalogue (by default 100,000 sites and 1,000,000 paragraphs) and times
// the main window's statements on it with the bundled SQLite and with the system's, each
// in its own process, in turn, so that both see the same machine and page cache.
// Run: build/bench/sitemora-bench-sqlite [SITES] [PARAGRAPHS-PER-SITE] [ROUNDS]
#include "BenchSupport.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

struct Timings {
    QString version;
    QMap<QString, std::vector<double>> ms;
    QMap<QString, QString> rows;
};

// Runs one build of the statements' program on `path`, adding its figures to `timings`.
void RunOnce(const QString& program, const QString& path, Timings* timings) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, {path});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        std::exit(1);
    }
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    for (const QString& line : lines) {
        const QStringList parts = line.split(' ');
        if (parts.size() == 2 && parts[0] == QLatin1String("sqlite"))
            timings->version = parts[1];
        else if (parts.size() == 3) {
            timings->ms[parts[0]].push_back(parts[1].toDouble());
            timings->rows[parts[0]] = parts[2];
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (sites < 1 || perSite < 0) {
        std::fprintf(stderr, "usage: sitemora-bench-sqlite [SITES] [PARAGRAPHS-PER-SITE] "
                             "[ROUNDS]\n");
        return 2;
    }
#ifndef SITEMORA_SYSTEM_STATEMENTS
    std::printf("the system's SQLite was not found when this was built (libsqlite3-dev): "
                "nothing to compare\n");
    return 0;
#else
    QTemporaryDir dir;
    const QString path = BenchCatalogue(dir.path(), sites, qint64(sites) * perSite);
    const QString programs[2] = {QStringLiteral(SITEMORA_BUNDLED_STATEMENTS),
                                 QStringLiteral(SITEMORA_SYSTEM_STATEMENTS)};
    Timings timings[2];
    for (int round = 0; round < rounds; ++round) {
        // Each goes first in every other round.
        for (int i = 0; i < 2; ++i) {
            const int which = (round + i) % 2;
            RunOnce(programs[which], path, &timings[which]);
        }
    }
    std::printf("the main window's statements on a plain catalogue, median of %d rounds, each "
                "statement's best of several runs:\n",
                rounds);
    std::printf("  %-32s %8s %12s %12s %6s\n", "", "rows",
                qPrintable("bundled " + timings[0].version),
                qPrintable("system " + timings[1].version), "ratio");
    const char* const names[] = {"list", "search", "site", "paragraphs"};
    const char* const labels[] = {"the list", "search, InStr on name and address",
                                  "1,000 sites by number", "their paragraphs"};
    for (int i = 0; i < 4; ++i) {
        const double bundled = Median(timings[0].ms.value(names[i]));
        const double system = Median(timings[1].ms.value(names[i]));
        std::printf("  %-32s %8s %9.1f ms %9.1f ms %6.2f\n", labels[i],
                    qPrintable(timings[0].rows.value(names[i])), bundled, system, bundled / system);
    }
    std::printf("  (ratio: bundled over system; the target is not above 1)\n");
    return 0;
#endif
}

// sitemora-import [OLD [NEW]]: brings a catalogue kept in the older Jet (Access) format
// over into a new catalogue file, leaving the old file untouched.
#include "Catalogue.h"
#include "Import.h"
#include "LegacyFile.h"
#include "Merge.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "usage: sitemora-import [OLD [NEW]]\n"
    "Brings a catalogue in the older Jet (Access 97/2000) format over into a new\n"
    "Sitemora catalogue. The old file is only read.\n"
    "\n"
    "  sitemora-import            converts Sitemora.mdb in the current directory in\n"
    "                             place: the old file is kept beside it as\n"
    "                             Sitemora.mdb.jet (refused if that name is taken)\n"
    "  sitemora-import OLD        the same for OLD, which must be named Sitemora.mdb\n"
    "  sitemora-import OLD NEW    writes the new catalogue to NEW, which must not exist\n";

bool Exists(const QString& path) {
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

QString Plural(std::int64_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

int Fail(const QString& message) {
    std::fprintf(stderr, "sitemora-import: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (Merge::Wanted(argc, argv))
        return Merge::Run(argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() > 2 || (!args.isEmpty() && args[0].startsWith(QLatin1Char('-'))) ||
        (args.size() == 2 && args[1].startsWith(QLatin1Char('-')))) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    const QString legacy = args.isEmpty() ? QString::fromLatin1(Catalogue::kFileName) : args[0];
    const bool inPlace = args.size() < 2;
    if (inPlace && QFileInfo(legacy).fileName() != QLatin1String(Catalogue::kFileName))
        return Fail(QStringLiteral("name the new catalogue: sitemora-import %1 NEW").arg(legacy));
    const QString target = inPlace ? legacy : args[1];
    const QString backup = legacy + QStringLiteral(".jet");

    struct stat info;
    if (::stat(QFile::encodeName(legacy).constData(), &info) != 0)
        return Fail(QStringLiteral("%1 does not exist").arg(legacy));
    if (!S_ISREG(info.st_mode))
        return Fail(QStringLiteral("%1 is not a regular file").arg(legacy));
    QString detail;
    const Legacy::Format format = Legacy::Sniff(legacy, &detail);
    if (format == Legacy::Format::NotJet || format == Legacy::Format::Newer)
        return Fail(QStringLiteral("cannot import %1: %2").arg(legacy, detail));
    if (inPlace && Exists(backup))
        return Fail(QStringLiteral("%1 already exists; move it away to keep the old catalogue "
                                   "there")
                        .arg(backup));
    if (!inPlace && Exists(target))
        return Fail(QStringLiteral("%1 already exists").arg(target));

    QString temp, error;
    if (!Catalogue::CreateTempBeside(target, &temp, &error))
        return Fail(QStringLiteral("cannot create a file beside %1: %2").arg(target, error));

    Import::InstallInterruptHandlers();
    Import::Counts counts;
    bool interrupted = false;
    const int progressFd = isatty(STDERR_FILENO) ? STDERR_FILENO : -1;
    if (!Import::ConvertIsolated(legacy, temp, progressFd, &counts, &error, &interrupted) ||
        !Import::Verify(temp, counts, &error)) {
        QFile::remove(temp);
        if (interrupted)
            return Fail(QStringLiteral("interrupted; nothing was written")) + 129;
        return Fail(QStringLiteral("cannot import %1: %2").arg(legacy, error));
    }

    // From here on the files are only renamed; an interruption halfway would leave the
    // old catalogue under its backup name with no new one in its place.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    if (inPlace) {
        if (!Catalogue::PublishNoClobber(legacy, backup, &error)) {
            QFile::remove(temp);
            return Fail(
                QStringLiteral("cannot keep the old catalogue as %1: %2").arg(backup, error));
        }
        if (!Catalogue::PublishNoClobber(temp, target, &error)) {
            QFile::remove(temp);
            QString restoreError;
            if (!Catalogue::PublishNoClobber(backup, legacy, &restoreError))
                return Fail(QStringLiteral("cannot put the new catalogue in place (%1); the old "
                                           "one is at %2")
                                .arg(error, backup));
            return Fail(QStringLiteral("cannot put the new catalogue in place: %1").arg(error));
        }
    } else if (!Catalogue::PublishNoClobber(temp, target, &error)) {
        QFile::remove(temp);
        return Fail(error);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    std::printf("sitemora-import: imported %s and %s (%s with ContentWeb 0) from %s into %s\n",
                qPrintable(Plural(counts.sites, "site", "sites")),
                qPrintable(Plural(counts.paragraphs, "paragraph", "paragraphs")),
                qPrintable(Plural(counts.orphans, "orphan paragraph", "orphan paragraphs")),
                qPrintable(inPlace ? backup : legacy), qPrintable(target));
    if (counts.strays > 0)
        std::printf("sitemora-import: %s belong to sites that no longer exist\n",
                    qPrintable(Plural(counts.strays, "paragraph", "paragraphs")));
    if (inPlace)
        std::printf("sitemora-import: the old catalogue is kept as %s\n", qPrintable(backup));
    return 0;
}

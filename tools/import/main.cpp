// sitemora-import [OLD [NEW]]: brings a catalogue kept in the older Jet (Access) format
// over into a new catalogue file, leaving the old file untouched.
#include "Catalogue.h"
#include "CommandLine.h"
#include "Import.h"
#include "LegacyFile.h"
#include "Merge.h"
#include "Passphrase.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Exists(const QString& path) {
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// Leaves after a signal from the terminal or the session, the way the shell reports it.
int Interrupted(const CommandLine::Program& program, const QString& temp) {
    QFile::remove(temp);
    CommandLine::ReportFailure(program, QStringLiteral("interrupted; nothing was written"));
    return 128 + Import::InterruptSignal();
}

// Moves the finished catalogue into place; in place, the old file first moves to its
// backup name. Every signal waits meanwhile: an interruption halfway would leave the
// old catalogue under its backup name with no new one in its place.
bool Publish(const QString& temp, const QString& legacy, const QString& target,
             const QString& backup, bool inPlace, QString* error) {
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    bool ok = true;
    if (!inPlace) {
        ok = Catalogue::PublishNoClobber(temp, target, error);
    } else if (!Catalogue::PublishNoClobber(legacy, backup, error)) {
        *error = QStringLiteral("cannot keep the old catalogue as %1 (%2); nothing was changed. "
                                "Name a new file on another drive instead: sitemora-import %3 NEW")
                     .arg(backup, *error, legacy);
        ok = false;
    } else if (QString why; !Catalogue::PublishNoClobber(temp, target, &why)) {
        QString restoreError;
        *error = Catalogue::PublishNoClobber(backup, legacy, &restoreError)
                     ? QStringLiteral("cannot put the new catalogue in place: %1").arg(why)
                     : QStringLiteral("cannot put the new catalogue in place (%1); the old one "
                                      "is at %2")
                           .arg(why, backup);
        ok = false;
    }
    if (!ok)
        QFile::remove(temp);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

// What was brought over, on standard output; notes on rows to check, on standard error.
void SayImported(const Import::Counts& counts, const QString& from, const QString& target,
                 const QString& keptAs) {
    CommandLine::Print(
        QStringLiteral("sitemora-import: imported %1 and %2 (%3 with ContentWeb 0) from %4 into %5")
            .arg(CommandLine::Plural(counts.sites, "site", "sites"),
                 CommandLine::Plural(counts.paragraphs, "paragraph", "paragraphs"),
                 CommandLine::Plural(counts.orphans, "orphan paragraph", "orphan paragraphs"), from,
                 target));
    if (counts.strays > 0)
        CommandLine::Print(
            QStringLiteral("sitemora-import: %1 belong to sites that no longer exist")
                .arg(CommandLine::Plural(counts.strays, "paragraph", "paragraphs")));
    if (!keptAs.isEmpty())
        CommandLine::Print(
            QStringLiteral("sitemora-import: the old catalogue is kept as %1").arg(keptAs));
    for (const QString& note : counts.notes)
        std::fprintf(stderr, "sitemora-import: note: %s\n", note.toUtf8().constData());
}

// Enciphers the new catalogue while it is still the temporary file nobody else reads.
bool Encrypt(const QString& path, const Cipher::Secret& passphrase, QString* error) {
    Sqlite::Database db;
    return db.Open(path, SQLITE_OPEN_READWRITE, error) == SQLITE_OK &&
           Cipher::Rekey(db.Get(), &passphrase, error);
}

// Converts OLD (`here`, the catalogue the options name, when not named) into NEW, or in
// place; encrypted under `passphrase` when one is given.
int ImportLegacy(const CommandLine::Program& program, const QString& here, const QStringList& args,
                 const Cipher::Secret* passphrase) {
    auto fail = [&program](const QString& message) {
        return CommandLine::ReportFailure(program, message);
    };

    const QString legacy = args.isEmpty() ? here : args[0];
    const bool inPlace = args.size() < 2;
    if (inPlace && QFileInfo(legacy).fileName() != QLatin1String(Catalogue::kFileName))
        return fail(QStringLiteral("name the new catalogue: sitemora-import %1 NEW").arg(legacy));
    const QString target = inPlace ? legacy : args[1];
    const QString backup = legacy + QStringLiteral(".jet");

    struct stat info;
    if (::stat(QFile::encodeName(legacy).constData(), &info) != 0)
        return fail(args.isEmpty() ? CommandLine::NoCatalogue(legacy)
                                   : QStringLiteral("%1 does not exist").arg(legacy));
    if (QString kind; !Catalogue::RegularOrMissing(legacy, &kind))
        return fail(QStringLiteral("%1: %2").arg(legacy, kind));
    QString detail;
    const Legacy::Format format = Legacy::Sniff(legacy, &detail);
    if (format == Legacy::Format::NotJet || format == Legacy::Format::Newer)
        return fail(QStringLiteral("cannot import %1: %2").arg(legacy, detail));
    if (inPlace && Exists(backup))
        return fail(QStringLiteral("%1 already exists; move it away to keep the old catalogue "
                                   "there")
                        .arg(backup));
    if (!inPlace && Exists(target))
        return fail(QStringLiteral("%1 already exists").arg(target));

    // A signal between creating the temporary file and handling signals would end the
    // program with the file left behind; blocked, it waits for the handler.
    const sigset_t interrupts = Import::InterruptSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupts, &previous);
    QString temp, error;
    const bool created = Catalogue::CreateTempBeside(target, &temp, &error);
    if (created)
        Import::InstallInterruptHandlers();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!created)
        return fail(QStringLiteral("cannot create a file beside %1: %2").arg(target, error));
    if (Import::InterruptSignal())
        return Interrupted(program, temp);

    Import::Counts counts;
    bool interrupted = false;
    const int progressFd = CommandLine::ProgressWanted() ? STDERR_FILENO : -1;
    const bool converted =
        Import::ConvertIsolated(legacy, temp, progressFd, &counts, &error, &interrupted) &&
        (!passphrase || Encrypt(temp, *passphrase, &error)) && Import::Verify(temp, counts, &error);
    if (interrupted || Import::InterruptSignal())
        return Interrupted(program, temp);
    if (!converted) {
        QFile::remove(temp);
        return fail(QStringLiteral("cannot import %1: %2").arg(legacy, error));
    }
    if (!Publish(temp, legacy, target, backup, inPlace, &error))
        return fail(error);

    SayImported(counts, inPlace ? backup : legacy, target, inPlace ? backup : QString());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const CommandLine::Program program{
        QStringLiteral("sitemora-import"),
        QStringLiteral("[OLD [NEW]] | --user-catalogue | [--catalogue FILE | --user-catalogue] "
                       "--merge IN"),
        QStringLiteral(
            "Brings a catalogue in the older Jet (Access 97/2000) format over into a new\n"
            "Sitemora catalogue, or adds an export or a bookmark file to an existing one.\n"
            "The old file is only read; a damaged one is refused.\n"
            "\n"
            "  sitemora-import            converts Sitemora.mdb in the current directory in\n"
            "                             place: the old file is kept beside it as\n"
            "                             Sitemora.mdb.jet (refused if that name is taken)\n"
            "  sitemora-import OLD        the same for OLD, which must be named Sitemora.mdb\n"
            "  sitemora-import OLD NEW    writes the new catalogue to NEW, which must not "
            "exist\n"
            "  sitemora-import --user-catalogue\n"
            "                             converts the desktop menu's catalogue in place\n") +
            QLatin1String(Merge::kDescription)};
    QCommandLineParser parser;
    const QCommandLineOption mergeOption(QStringLiteral("merge"),
                                         QStringLiteral("a JSON export or a bookmark file to add"),
                                         QStringLiteral("IN"));
    const CommandLine::CatalogueOptions catalogueOptions(
        QStringLiteral("with --merge: the catalogue to add to"));
    catalogueOptions.AddTo(parser);
    const QCommandLineOption encryptOption(
        QStringLiteral("encrypt"),
        QStringLiteral("without --merge: encrypt the new catalogue under a passphrase"));
    const QCommandLineOption fdOption = Passphrase::FdOption();
    parser.addOptions({mergeOption, encryptOption, fdOption});
    parser.addPositionalArgument(QStringLiteral("OLD"),
                                 QStringLiteral("the catalogue in the Jet format"),
                                 QStringLiteral("[OLD"));
    parser.addPositionalArgument(QStringLiteral("NEW"),
                                 QStringLiteral("the new catalogue, which must not exist"),
                                 QStringLiteral("[NEW]]"));
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    int fd = -1;
    if (QString error; !Passphrase::FdFrom(parser, fdOption, &fd, &error))
        return CommandLine::WrongUsage(program, error);
    Passphrase::UseForTool(fd);
    const QStringList args = parser.positionalArguments();
    QString catalogue;
    if (const int status = catalogueOptions.Choose(parser, program, &catalogue);
        status != CommandLine::kGoOn)
        return status;
    if (parser.isSet(mergeOption)) {
        if (parser.isSet(encryptOption))
            return CommandLine::WrongUsage(program,
                                           QStringLiteral("--encrypt goes without --merge"));
        if (!args.isEmpty())
            return CommandLine::WrongUsage(program,
                                           QStringLiteral("--merge takes no other file names"));
        return Merge::Run(program, catalogue, parser.value(mergeOption));
    }
    if (catalogueOptions.FileIsSet(parser))
        return CommandLine::WrongUsage(program, QStringLiteral("--catalogue goes with --merge"));
    if (catalogueOptions.UserIsSet(parser) && !args.isEmpty())
        return CommandLine::WrongUsage(program,
                                       QStringLiteral("--user-catalogue takes no file names"));
    if (args.size() > 2)
        return CommandLine::WrongUsage(program, QStringLiteral("too many arguments"));
    Cipher::Secret passphrase;
    if (parser.isSet(encryptOption)) {
        CommandLine::Print(QStringLiteral("A forgotten passphrase cannot be recovered: without "
                                          "it, the catalogue and its backups are lost for good."));
        if (QString error; !Passphrase::AskNew(fd, &passphrase, &error))
            return CommandLine::ReportFailure(program, error);
    }
    return ImportLegacy(program, catalogue, args,
                        parser.isSet(encryptOption) ? &passphrase : nullptr);
}

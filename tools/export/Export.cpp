#include "Export.h"

#include "Catalogue.h"
#include "CommandLine.h"
#include "OutputFile.h"
#include "Passphrase.h"
#include "Sqlite.h"
#include "Transfer.h"
#include "Writers.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <sqlite3.h>
#include <sys/stat.h>

namespace Export {

namespace {

const CommandLine::Program kProgram{
    QStringLiteral("sitemora-export"),
    QStringLiteral("[--catalogue FILE | --user-catalogue] --format json|csv|bookmarks [--force] "
                   "OUT"),
    QStringLiteral("Writes a Sitemora catalogue out to OUT, leaving the catalogue unchanged:\n"
                   "  json       every column of every site and paragraph and the key counters;\n"
                   "             sitemora-import --merge reads it back exactly\n"
                   "  csv        one row per site with its paragraphs, for spreadsheets\n"
                   "  bookmarks  a bookmark file for a browser's import: one folder per site\n"
                   "             holding its addresses; no account names or passwords\n"
                   "OUT is written under a temporary name, readable by you only, and appears when\n"
                   "complete. An existing OUT is kept unless --force is given. JSON and CSV hold\n"
                   "the passwords in plain text.")};

using Writer = bool (*)(sqlite3*, OutputFile&, Counts*, QString*);

struct Format {
    const char* name;
    Writer write;
    bool holdsPasswords;
};

constexpr Format kFormats[] = {
    {"json", WriteJson, true},
    {"csv", WriteCsv, true},
    {"bookmarks", WriteBookmarks, false},
};

const Format* FindFormat(const QString& name) {
    for (const Format& format : kFormats)
        if (name == QLatin1String(format.name))
            return &format;
    return nullptr;
}

bool SameFile(const QString& a, const QString& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Writes the catalogue inside one read transaction: SQLite then keeps every row read
// from both tables at the state of the moment the first was read, even while another
// running copy of the program stores changes.
bool WriteConsistent(sqlite3* db, const Format& format, OutputFile& out, Counts* counts,
                     QString* error) {
    if (!Sqlite::Exec(db, "BEGIN", error))
        return false;
    const bool written = format.write(db, out, counts, error);
    Sqlite::Exec(db, "COMMIT", nullptr);
    return written;
}

} // namespace

int Run(int argc, char** argv) {
    QCommandLineParser parser;
    const CommandLine::CatalogueOptions catalogueOptions(QStringLiteral("the catalogue to read"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("json, csv or bookmarks"),
                                          QStringLiteral("FORMAT"));
    const QCommandLineOption forceOption(QStringLiteral("force"),
                                         QStringLiteral("replace OUT if it exists"));
    const QCommandLineOption fdOption = Passphrase::FdOption();
    catalogueOptions.AddTo(parser);
    parser.addOptions({formatOption, forceOption, fdOption});
    parser.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("the file to write"));
    if (const int status = CommandLine::Parse(parser, kProgram, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    if (QString error; !Passphrase::UseForTool(parser, fdOption, &error))
        return CommandLine::WrongUsage(kProgram, error);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1)
        return CommandLine::WrongUsage(kProgram, args.isEmpty()
                                                     ? QStringLiteral("name the file to write")
                                                     : QStringLiteral("too many arguments"));
    if (!parser.isSet(formatOption))
        return CommandLine::WrongUsage(kProgram, QStringLiteral("choose a --format"));
    const Format* format = FindFormat(parser.value(formatOption));
    if (!format)
        return CommandLine::WrongUsage(
            kProgram, QStringLiteral("unknown format '%1': use json, csv or bookmarks")
                          .arg(parser.value(formatOption)));
    QString cataloguePath;
    if (const int status = catalogueOptions.Choose(parser, kProgram, &cataloguePath);
        status != CommandLine::kGoOn)
        return status;
    if (!QFileInfo::exists(cataloguePath))
        return CommandLine::ReportFailure(kProgram, CommandLine::NoCatalogue(cataloguePath));
    const QString& target = args[0];
    const bool replace = parser.isSet(forceOption);

    struct stat existing {};
    if (::lstat(QFile::encodeName(target).constData(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode))
            return CommandLine::ReportFailure(kProgram,
                                              QStringLiteral("%1 is a directory").arg(target));
        if (!replace)
            return CommandLine::ReportFailure(
                kProgram,
                QStringLiteral("%1 already exists; add --force to replace it").arg(target));
        if (SameFile(target, cataloguePath))
            return CommandLine::ReportFailure(
                kProgram,
                QStringLiteral("%1 is the catalogue itself; choose another file").arg(target));
    }

    Sqlite::Database db;
    QString error;
    const bool encrypted = Cipher::ExamineFile(cataloguePath) == Cipher::Kind::Encrypted;
    if (!Catalogue::OpenExisting(cataloguePath, Catalogue::Access::ReadOnly, &db, &error))
        return CommandLine::ReportFailure(
            kProgram, QStringLiteral("cannot read %1: %2").arg(cataloguePath, error));
    OutputFile::StopOnInterrupt();
    OutputFile out;
    Counts counts;
    bool ok = out.Open(target, &error);
    if (!ok)
        error = QStringLiteral("cannot write beside %1: %2").arg(target, error);
    ok = ok && WriteConsistent(db.Get(), *format, out, &counts, &error);
    db = Sqlite::Database();
    if (ok && !out.Publish(replace, &error))
        return CommandLine::ReportFailure(kProgram,
                                          QStringLiteral("cannot write %1: %2").arg(target, error));
    if (!ok)
        return CommandLine::ReportFailure(kProgram, error);

    QString summary = QStringLiteral("%1: wrote %2")
                          .arg(kProgram.name, CommandLine::Plural(counts.sites, "site", "sites"));
    if (format->write != WriteBookmarks)
        summary += QStringLiteral(" and ") +
                   CommandLine::Plural(counts.paragraphs, "paragraph", "paragraphs");
    CommandLine::Print(summary + QStringLiteral(" to %1").arg(target));
    if (counts.leftOut > 0)
        CommandLine::Print(
            QStringLiteral("%1: left out %2 that a browser would not open as a "
                           "page (javascript:, mailto: and the like)")
                .arg(kProgram.name, CommandLine::Plural(counts.leftOut, "address", "addresses")));
    if (format->holdsPasswords && encrypted)
        std::fprintf(stderr, "%s\n",
                     qPrintable(QStringLiteral("%1: WARNING: %2 is NOT encrypted: it holds the "
                                               "encrypted catalogue's account names and passwords "
                                               "in plain text, readable by anyone who can read "
                                               "the file. It is readable by you only; delete it "
                                               "when it has served.")
                                    .arg(kProgram.name, target)));
    else if (format->holdsPasswords)
        std::fprintf(stderr, "%s\n",
                     qPrintable(QStringLiteral("%1: %2 holds the account names and passwords in "
                                               "plain text; it is readable by you only")
                                    .arg(kProgram.name, target)));
    return 0;
}

} // namespace Export

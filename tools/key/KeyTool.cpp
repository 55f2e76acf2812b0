#include "KeyTool.h"

#include "Backup.h"
#include "Catalogue.h"
#include "CommandLine.h"
#include "CopyLock.h"
#include "Passphrase.h"
#include "Rekey.h"

#include <QFile>
#include <QTextStream>

#include <unistd.h>

namespace {

const CommandLine::Program kProgram{
    QStringLiteral("sitemora-key"),
    QStringLiteral(
        "[--catalogue FILE | --user-catalogue] [--passphrase-fd N] [--old-backups WHAT]\n"
        "       encrypt | change | decrypt | encrypt-backups"),
    QStringLiteral(
        "Encrypts a Sitemora catalogue under a passphrase, changes its passphrase, or removes "
        "its encryption, in place.\n"
        "A passphrase is asked on the terminal without echo, a new one twice; with "
        "--passphrase-fd N each is read as one line from descriptor N (for change: the current "
        "one, then the new one).\n"
        "A forgotten passphrase cannot be recovered: the catalogue and its encrypted backups "
        "are then lost.")};

// What to do with backups made while the catalogue was plain, which hold its texts.
enum class OldBackups { Ask, Encrypt, Delete, Keep };

QList<Backup::Entry> PlainBackups(const QString& catalogue) {
    QList<Backup::Entry> plain;
    for (const Backup::Entry& entry : Backup::List(catalogue)) {
        if (Cipher::ExamineFile(entry.path) == Cipher::Kind::Plain)
            plain.append(entry);
    }
    return plain;
}

OldBackups AskAboutBackups(int fd) {
    if (fd >= 0 || !::isatty(STDIN_FILENO))
        return OldBackups::Keep;
    QTextStream in(stdin);
    for (;;) {
        CommandLine::Print(QStringLiteral(
            "Encrypt them with the new passphrase (e), delete them (d), or keep them plain (k)? "));
        const QString answer = in.readLine().trimmed().toLower();
        if (answer == QLatin1String("e"))
            return OldBackups::Encrypt;
        if (answer == QLatin1String("d"))
            return OldBackups::Delete;
        if (answer == QLatin1String("k") || in.atEnd())
            return OldBackups::Keep;
    }
}

// Says what the plain backups mean, and deals with them as asked. False when one of them
// could not be dealt with.
bool HandleOldBackups(const QString& catalogue, OldBackups choice, int fd) {
    const QList<Backup::Entry> plain = PlainBackups(catalogue);
    if (plain.isEmpty())
        return true;
    CommandLine::Print(QStringLiteral("%1 in %2 still hold the catalogue's texts and "
                                      "passwords unencrypted.")
                           .arg(CommandLine::Plural(plain.size(), "backup", "backups"),
                                Backup::FolderOf(catalogue)));
    if (choice == OldBackups::Ask)
        choice = AskAboutBackups(fd);
    bool ok = true;
    for (const Backup::Entry& entry : plain) {
        QString error;
        if (choice == OldBackups::Encrypt && !Rekey::LikeCatalogue(entry.path, catalogue, &error))
            error = QStringLiteral("%1: %2").arg(entry.path, error);
        else if (choice == OldBackups::Delete && !QFile::remove(entry.path))
            error = QStringLiteral("cannot delete %1").arg(entry.path);
        if (!error.isEmpty()) {
            CommandLine::ReportFailure(kProgram, error);
            ok = false;
        }
    }
    if (choice == OldBackups::Keep || !ok)
        CommandLine::ReportFailure(
            kProgram, QStringLiteral("WARNING: backups in %1 are NOT encrypted; run sitemora-key "
                                     "--old-backups encrypt encrypt-backups, or delete them")
                          .arg(Backup::FolderOf(catalogue)));
    else
        CommandLine::Print(choice == OldBackups::Encrypt
                               ? QStringLiteral("The backups are encrypted now.")
                               : QStringLiteral("The plain backups are deleted."));
    return ok && choice != OldBackups::Keep;
}

} // namespace

namespace KeyTool {

int Run(int argc, char** argv) {
    QCommandLineParser parser;
    const CommandLine::CatalogueOptions catalogueOptions(QStringLiteral("the catalogue to change"));
    catalogueOptions.AddTo(parser);
    const QCommandLineOption fdOption = Passphrase::FdOption();
    const QCommandLineOption backupsOption(
        QStringLiteral("old-backups"),
        QStringLiteral("After encrypt: what to do with backups that are not encrypted: encrypt, "
                       "delete or keep (default: ask on the terminal, else keep)."),
        QStringLiteral("WHAT"));
    parser.addOptions({fdOption, backupsOption});
    parser.addPositionalArgument(QStringLiteral("verb"),
                                 QStringLiteral("encrypt, change, decrypt, or encrypt-backups"));
    if (const int status = CommandLine::Parse(parser, kProgram, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1)
        return CommandLine::WrongUsage(kProgram, QStringLiteral("name one verb"));
    OldBackups oldBackups = OldBackups::Ask;
    if (parser.isSet(backupsOption)) {
        const QString what = parser.value(backupsOption);
        if (what == QLatin1String("encrypt"))
            oldBackups = OldBackups::Encrypt;
        else if (what == QLatin1String("delete"))
            oldBackups = OldBackups::Delete;
        else if (what == QLatin1String("keep"))
            oldBackups = OldBackups::Keep;
        else
            return CommandLine::WrongUsage(kProgram,
                                           QStringLiteral("--old-backups takes encrypt, delete "
                                                          "or keep"));
    }
    Rekey::Verb verb = Rekey::Verb::Encrypt;
    const QString& word = args[0];
    if (word == QLatin1String("change"))
        verb = Rekey::Verb::Change;
    else if (word == QLatin1String("decrypt"))
        verb = Rekey::Verb::Decrypt;
    else if (word != QLatin1String("encrypt") && word != QLatin1String("encrypt-backups"))
        return CommandLine::WrongUsage(kProgram, QStringLiteral("unknown verb %1").arg(word));

    int fd = -1;
    QString error;
    if (!Passphrase::FdFrom(parser, fdOption, &fd, &error))
        return CommandLine::WrongUsage(kProgram, error);
    Passphrase::UseForTool(fd);
    QString catalogue;
    if (const int status = catalogueOptions.Choose(parser, kProgram, &catalogue);
        status != CommandLine::kGoOn)
        return status;

    if (word == QLatin1String("encrypt-backups")) {
        // Opens the catalogue once so that its key is known, then deals with the backups.
        Sqlite::Database db;
        if (!Catalogue::OpenExisting(catalogue, Catalogue::Access::ReadOnly, &db, &error))
            return CommandLine::ReportFailure(kProgram,
                                              QStringLiteral("%1: %2").arg(catalogue, error));
        if (Cipher::ExamineFile(catalogue) != Cipher::Kind::Encrypted)
            return CommandLine::ReportFailure(kProgram,
                                              QStringLiteral("%1 is not encrypted").arg(catalogue));
        return HandleOldBackups(catalogue, oldBackups, fd) ? 0 : CommandLine::kFailure;
    }
    if (verb == Rekey::Verb::Encrypt)
        CommandLine::Print(QStringLiteral(
            "A forgotten passphrase cannot be recovered: without it, the catalogue and its "
            "encrypted backups are lost for good."));
    const auto ask = [fd](Cipher::Secret* passphrase, QString* failure) {
        return Passphrase::AskNew(fd, passphrase, failure);
    };
    if (!Rekey::File(catalogue, CopyLock::PathFor(catalogue), verb, ask, &error))
        return CommandLine::ReportFailure(kProgram,
                                          error + QStringLiteral("; nothing was changed"));
    switch (verb) {
    case Rekey::Verb::Encrypt:
        CommandLine::Print(QStringLiteral("%1 is encrypted.").arg(catalogue));
        return HandleOldBackups(catalogue, oldBackups, fd) ? 0 : CommandLine::kFailure;
    case Rekey::Verb::Change:
        CommandLine::Print(QStringLiteral("The passphrase of %1 is changed. Its backups keep the "
                                          "passphrase they were made with.")
                               .arg(catalogue));
        return 0;
    case Rekey::Verb::Decrypt:
        CommandLine::Print(QStringLiteral("%1 is no longer encrypted: anyone who can read the "
                                          "file can read its passwords.")
                               .arg(catalogue));
        return 0;
    }
    return 0;
}

} // namespace KeyTool

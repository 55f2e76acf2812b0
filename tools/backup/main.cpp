// sitemora-backup [--catalogue FILE | --user-catalogue] list | now | restore NAME
#include "Backup.h"
#include "Catalogue.h"
#include "Cipher.h"
#include "CommandLine.h"
#include "Passphrase.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

int List(const QString& catalogue) {
    for (const Backup::Entry& entry : Backup::List(catalogue)) {
        QString error;
        const qint64 sites = Backup::CountSites(entry.path, &error);
        CommandLine::Print(QStringLiteral("%1  %2  %3 bytes  %4")
                               .arg(entry.name, entry.time.toLocalTime().toString(
                                                    QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                               .arg(entry.size)
                               .arg(sites < 0    ? QStringLiteral("unreadable (%1)").arg(error)
                                    : sites == 1 ? QStringLiteral("1 site")
                                                 : QStringLiteral("%1 sites").arg(sites)));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const CommandLine::Program program{
        QStringLiteral("sitemora-backup"),
        QStringLiteral("[--catalogue FILE | --user-catalogue] list | now | restore NAME"),
        QStringLiteral(
            "Lists, makes and restores the backups of a Sitemora catalogue, kept in the folder "
            "FILE.backups beside it. Sitemora makes one at every start when the catalogue has "
            "changed since the newest. The newest %1 are kept; %2=N keeps N.\n\n"
            "  list          the backups, newest first: name, local time, size, sites\n"
            "  now           makes a backup at once\n"
            "  restore NAME  backs up the catalogue as it is, then replaces it by backup NAME")
            .arg(Backup::kDefaultKeep)
            .arg(QLatin1String(Backup::kKeepVariable))};
    QCommandLineParser parser;
    const CommandLine::CatalogueOptions catalogueOptions(QStringLiteral("the catalogue"));
    catalogueOptions.AddTo(parser);
    const QCommandLineOption fdOption = Passphrase::FdOption();
    parser.addOption(fdOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("list, now or restore"),
                                 QStringLiteral("list | now | restore NAME"));
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    if (QString error; !Passphrase::UseForTool(parser, fdOption, &error))
        return CommandLine::WrongUsage(program, error);
    const QStringList args = parser.positionalArguments();
    QString catalogue;
    if (const int status = catalogueOptions.Choose(parser, program, &catalogue);
        status != CommandLine::kGoOn)
        return status;
    const QString command = args.value(0);
    if (command != QLatin1String("list") && command != QLatin1String("now") &&
        command != QLatin1String("restore"))
        return CommandLine::WrongUsage(
            program, args.isEmpty() ? QStringLiteral("no command given")
                                    : QStringLiteral("unknown command %1").arg(command));
    if (args.size() != (command == QLatin1String("restore") ? 2 : 1))
        return CommandLine::WrongUsage(program,
                                       command == QLatin1String("restore") && args.size() < 2
                                           ? QStringLiteral("restore needs the NAME of a "
                                                            "backup (see list)")
                                           : QStringLiteral("too many arguments"));
    // A catalogue deleted by mistake leaves its backups behind: they are listed and
    // restored all the same.
    if (command != QLatin1String("now") && !QFileInfo::exists(catalogue) &&
        !QFileInfo::exists(Backup::FolderOf(catalogue)))
        return CommandLine::ReportFailure(program, CommandLine::NoCatalogue(catalogue));
    if (command == QLatin1String("list"))
        return List(catalogue);

    int keep = Backup::kDefaultKeep;
    QString error;
    if (!Backup::KeepFromEnvironment(&keep, &error))
        return CommandLine::ReportFailure(program, error);
    const QDir folder(Backup::FolderOf(catalogue));
    if (command == QLatin1String("now")) {
        Backup::Options options;
        options.keep = keep;
        options.onlyIfChanged = false;
        QString name;
        switch (Backup::Make(catalogue, options, &name, &error)) {
        case Backup::Result::NoCatalogue:
            return CommandLine::ReportFailure(program, CommandLine::NoCatalogue(catalogue));
        case Backup::Result::Failed:
            return CommandLine::ReportFailure(program, error);
        default:
            CommandLine::Print(QStringLiteral("wrote %1").arg(folder.filePath(name)));
            return 0;
        }
    }
    // A name completed by the shell comes with its folder.
    QString name = args[1];
    if (name.contains(QLatin1Char('/')) && QFileInfo(name).absoluteDir() == folder)
        name = QFileInfo(name).fileName();
    QString savedAs;
    const QString backup = folder.filePath(name);
    const bool sameKey = !QFileInfo::exists(catalogue) || !QFileInfo::exists(backup) ||
                         Cipher::SameEncryption(backup, catalogue);
    if (!sameKey) {
        const bool encrypted = Cipher::ExamineFile(backup) == Cipher::Kind::Encrypted;
        CommandLine::Print(
            QStringLiteral("%1 is %2, unlike %3: it comes back as it was made, %4")
                .arg(name,
                     encrypted ? QStringLiteral("encrypted under the passphrase it was made with")
                               : QStringLiteral("not encrypted"),
                     catalogue,
                     encrypted ? QStringLiteral("and the catalogue then opens with that passphrase")
                               : QStringLiteral("and the catalogue is then NOT encrypted")));
    }
    if (!Backup::Restore(catalogue, name, keep, &savedAs, &error))
        return CommandLine::ReportFailure(program, error);
    CommandLine::Print(savedAs.isEmpty()
                           ? QStringLiteral("restored %1 to %2").arg(name, catalogue)
                           : QStringLiteral("restored %1 to %2; what it held before is in %3")
                                 .arg(name, catalogue, folder.filePath(savedAs)));
    return 0;
}

// sitemora-newdb [--user-catalogue | FILE]: writes an empty catalogue, never over an
// existing file.
#include "Catalogue.h"
#include "CommandLine.h"
#include "Failure.h"
#include "Passphrase.h"
#include "UserCatalogue.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const CommandLine::Program program{
        QStringLiteral("sitemora-newdb"),
        QStringLiteral("[--encrypt [--passphrase-fd N]] [--user-catalogue | FILE]"),
        QStringLiteral(
            "Writes an empty Sitemora catalogue to FILE (default: Sitemora.mdb in the "
            "current directory). An existing file is never overwritten. With --encrypt it is "
            "encrypted under a passphrase, asked twice on the terminal; a forgotten "
            "passphrase cannot be recovered.")};
    QCommandLineParser parser;
    const QCommandLineOption userCatalogue = CommandLine::UserCatalogueOption(
        QStringLiteral("write Sitemora.mdb in $XDG_DATA_HOME/sitemora (by default "
                       "~/.local/share/sitemora), the catalogue the desktop menu starts "
                       "Sitemora on, creating the folder readable by you alone"));
    const QCommandLineOption encrypt(QStringLiteral("encrypt"),
                                     QStringLiteral("encrypt the catalogue under a passphrase"));
    const QCommandLineOption fdOption = Passphrase::FdOption();
    parser.addOptions({userCatalogue, encrypt, fdOption});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("the catalogue to write"),
                                 QStringLiteral("[FILE]"));
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() > 1)
        return CommandLine::WrongUsage(program, QStringLiteral("too many arguments"));
    const bool user = parser.isSet(userCatalogue);
    if (user && !args.isEmpty())
        return CommandLine::WrongUsage(program, QStringLiteral("--user-catalogue takes no FILE"));
    const QString target = user             ? UserCataloguePath()
                           : args.isEmpty() ? QString::fromLatin1(Catalogue::kFileName)
                                            : args[0];
    QString error;
    if (QString failed; user && !MakeOwnerOnlyPath(UserCatalogueFolder(), &failed))
        return CommandLine::ReportFailure(
            program, QStringLiteral("cannot create %1: %2").arg(failed, SystemError()));
    int fd = -1;
    if (!Passphrase::FdFrom(parser, fdOption, &fd, &error))
        return CommandLine::WrongUsage(program, error);
    Cipher::Secret passphrase;
    if (parser.isSet(encrypt)) {
        CommandLine::Print(QStringLiteral("A forgotten passphrase cannot be recovered: without "
                                          "it, the catalogue and its backups are lost for good."));
        if (!Passphrase::AskNew(fd, &passphrase, &error))
            return CommandLine::ReportFailure(program, error);
    }
    if (!Catalogue::CreateEmpty(target, &error, parser.isSet(encrypt) ? &passphrase : nullptr))
        return CommandLine::ReportFailure(program, error);
    CommandLine::Print(
        QStringLiteral("sitemora-newdb: wrote an empty catalogue to %1").arg(target));
    return 0;
}

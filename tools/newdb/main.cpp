// sitemora-newdb [FILE]: writes an empty catalogue, never over an existing file.
#include "Catalogue.h"
#include "CommandLine.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const CommandLine::Program program{
        QStringLiteral("sitemora-newdb"), QStringLiteral("[FILE]"),
        QStringLiteral("Writes an empty Sitemora catalogue to FILE (default: Sitemora.mdb in the "
                       "current directory). An existing file is never overwritten.")};
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("the catalogue to write"),
                                 QStringLiteral("[FILE]"));
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() > 1)
        return CommandLine::WrongUsage(program, QStringLiteral("too many arguments"));
    const QString target = args.isEmpty() ? QString::fromLatin1(Catalogue::kFileName) : args[0];
    QString error;
    if (!Catalogue::CreateEmpty(target, &error))
        return CommandLine::ReportFailure(program, error);
    CommandLine::Print(
        QStringLiteral("sitemora-newdb: wrote an empty catalogue to %1").arg(target));
    return 0;
}

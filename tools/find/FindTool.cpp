#include "FindTool.h"

#include "Catalogue.h"
#include "CommandLine.h"
#include "Finder.h"
#include "FindIndex.h"
#include "Passphrase.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace FindTool {

namespace {

const CommandLine::Program kProgram{
    QStringLiteral("sitemora-find"), QStringLiteral("[--catalogue FILE] [--json] TEXT..."),
    QStringLiteral(
        "Prints the sites of a Sitemora catalogue in which every TEXT occurs: in the name, "
        "address, rank value, account names, sub-pages or paragraphs (never the passwords). "
        "Letters A to Z match either case; every other character matches only itself. One "
        "line per site: its number, name, where the first TEXT was found and a piece of the "
        "text around it, separated by tabs. Exit status: 0 when a site was found, 1 when "
        "none, 2 on wrong usage or failure.")};

// The find's own exit status for a failure: grep's, not the other tools'.
constexpr int kTrouble = 2;

QString OneLine(QString text) {
    for (QChar& c : text) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    return text;
}

void PrintResult(const Find::Result& result, bool json) {
    if (json) {
        const QJsonObject object{{QStringLiteral("WebIndex"), result.site},
                                 {QStringLiteral("name"), result.name},
                                 {QStringLiteral("where"), result.place},
                                 {QStringLiteral("excerpt"), result.excerpt},
                                 {QStringLiteral("matchStart"), result.matchAt},
                                 {QStringLiteral("matchLength"), result.matchLength}};
        CommandLine::Print(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        return;
    }
    CommandLine::Print(QStringLiteral("%1\t%2\t%3\t%4")
                           .arg(result.site)
                           .arg(OneLine(result.name), result.place, result.excerpt));
}

} // namespace

int Run(int argc, char** argv) {
    QCommandLineParser parser;
    const CommandLine::CatalogueOptions catalogueOptions(QStringLiteral("the catalogue to read"));
    catalogueOptions.AddTo(parser);
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("one JSON object per line, for scripts"));
    const QCommandLineOption fdOption = Passphrase::FdOption();
    parser.addOptions({jsonOption, fdOption});
    parser.addPositionalArgument(QStringLiteral("TEXT"),
                                 QStringLiteral("what to find; several must all occur"),
                                 QStringLiteral("TEXT..."));
    if (const int status = CommandLine::Parse(parser, kProgram, argc, argv);
        status != CommandLine::kGoOn)
        return status == 0 ? 0 : kTrouble;
    const QString query = parser.positionalArguments().join(QLatin1Char(' '));
    if (query.trimmed().isEmpty())
        return CommandLine::WrongUsage(kProgram, QStringLiteral("give the TEXT to find"));
    if (QString error; !Passphrase::UseForTool(parser, fdOption, &error))
        return CommandLine::WrongUsage(kProgram, error);
    QString path;
    if (catalogueOptions.Choose(parser, kProgram, &path) != CommandLine::kGoOn)
        return kTrouble;
    if (!QFileInfo::exists(path)) {
        CommandLine::ReportFailure(kProgram, CommandLine::NoCatalogue(path));
        return kTrouble;
    }
    Sqlite::Database db;
    QString error;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &db, &error) ||
        !Find::Prepare(db.Get(), path, false, &error)) {
        CommandLine::ReportFailure(kProgram, QStringLiteral("cannot read %1: %2").arg(path, error));
        return kTrouble;
    }
    Find::Finder finder(db.Get(), query);
    bool found = false;
    while (!finder.AtEnd()) {
        QList<Find::Result> results;
        if (!finder.Next(100, &results, &error)) {
            CommandLine::ReportFailure(kProgram,
                                       QStringLiteral("cannot read %1: %2").arg(path, error));
            return kTrouble;
        }
        for (const Find::Result& result : results)
            PrintResult(result, parser.isSet(jsonOption));
        found = found || !results.isEmpty();
    }
    return found ? 0 : 1;
}

} // namespace FindTool

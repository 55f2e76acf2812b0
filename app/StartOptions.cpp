#include "StartOptions.h"

#include "CommandLine.h"
#include "Passphrase.h"
#include "UserFolder.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>

namespace {

// The options QGuiApplication and QApplication take out of argv themselves. Known here
// only so that they and their values are not refused; they stay out of --help.
void AcceptToolkitOptions(QCommandLineParser& parser) {
    const auto accept = [&parser](const char* name, const QString& valueName) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), valueName);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
          "qwindowicon", "qwindowtitle", "display", "geometry", "style", "stylesheet", "session"})
        accept(name, QStringLiteral("value"));
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"})
        accept(name, QString());
}

const CommandLine::Program kProgram{
    QStringLiteral("sitemora"), QStringLiteral("[--user-catalogue] [--passphrase-fd N]"),
    QStringLiteral("Keeps a private catalogue of websites in Sitemora.mdb in the current "
                   "directory, which must already exist (sitemora-newdb writes an empty "
                   "one).")};

} // namespace

int ParseStartOptions(int argc, char** argv, StartOptions* options) {
    const CommandLine::Program& program = kProgram;
    QCommandLineParser parser;
    // Qt's options are spelt with one dash ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption userCatalogue = CommandLine::UserCatalogueOption(
        QStringLiteral("Use Sitemora.mdb in $XDG_DATA_HOME/sitemora (by default "
                       "~/.local/share/sitemora) instead, creating the folder and an empty "
                       "catalogue, readable by you alone, when they are missing. The desktop "
                       "menu starts the program this way."));
    const QCommandLineOption fdOption = Passphrase::FdOption();
    parser.addOptions({userCatalogue, fdOption});
    AcceptToolkitOptions(parser);
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    if (!parser.positionalArguments().isEmpty())
        return CommandLine::WrongUsage(
            program,
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    options->userCatalogue = parser.isSet(userCatalogue);
    if (QString error; !Passphrase::FdFrom(parser, fdOption, &options->passphraseFd, &error))
        return CommandLine::WrongUsage(program, error);
    return CommandLine::kGoOn;
}

void SayHowToMakeCatalogue(const QString& catalogue) {
    const QString menus =
        UserCatalogueFolder() + QLatin1Char('/') + QFileInfo(catalogue).fileName();
    CommandLine::ReportFailure(
        kProgram, QStringLiteral("there is no catalogue %1; 'sitemora-newdb %2' in %3 writes an "
                                 "empty one, and 'sitemora --user-catalogue' uses the desktop "
                                 "menu's, %4")
                      .arg(catalogue, QFileInfo(catalogue).fileName(),
                           QFileInfo(catalogue).absolutePath(), menus));
}

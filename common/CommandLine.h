#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

// What every program of the project does with its command line, in one place: --help
// and --version, "name: message" on standard error, exit 0 on success, 1 on failure and
// 2 on wrong usage.
namespace CommandLine {

inline constexpr int kFailure = 1;
inline constexpr int kWrongUsage = 2;
// Returned by Parse when the program should go on with its work.
inline constexpr int kGoOn = -1;

struct Program {
    QString name;        // as typed on the command line: "sitemora-export"
    QString synopsis;    // what follows the name in the usage line
    QString description; // a few lines for --help
};

// Parses `argv` with the options the caller added to `parser`, plus --help and --version.
// Returns kGoOn, or the status to exit with at once: 0 after --help or --version (printed
// on standard output), kWrongUsage after an unknown option or a missing value (a message
// and the usage line on standard error), kFailure when an argument is not valid UTF-8.
// File names pass through QString everywhere, so a name that is not valid UTF-8 would
// reach the file system changed; such a name is refused instead.
int Parse(QCommandLineParser& parser, const Program& program, int argc, char** argv);

// Prints the usage line and returns kWrongUsage.
int WrongUsage(const Program& program, const QString& message);

// Prints "name: message" on standard error and returns kFailure.
int ReportFailure(const Program& program, const QString& message);

// Prints a line on standard output: what a program reports of its work.
void Print(const QString& line);

// The terms the programs come under, as --version shows them after the version line.
QString LicenceNotice();

// --user-catalogue: work on the catalogue the desktop menu's start works on
// (UserCataloguePath()). `help` says what the program does with it.
QCommandLineOption UserCatalogueOption(const QString& help);

// How a tool is told which catalogue to work on: --catalogue FILE, --user-catalogue, or
// neither for Sitemora.mdb in the current directory.
class CatalogueOptions {
public:
    // `role` says what the tool does with the catalogue: "the catalogue to read".
    explicit CatalogueOptions(const QString& role);
    void AddTo(QCommandLineParser& parser) const;
    bool FileIsSet(const QCommandLineParser& parser) const;
    bool UserIsSet(const QCommandLineParser& parser) const;
    // After Parse: the catalogue named, or kWrongUsage when both options are given.
    int Choose(const QCommandLineParser& parser, const Program& program, QString* path) const;

private:
    QCommandLineOption file_;
    QCommandLineOption user_;
};

// Why a tool cannot go on without the catalogue at `path`: the file it looked for, and
// either the menu's catalogue, when that one exists, or how to make one.
QString NoCatalogue(const QString& path);

// "1 site", "2 sites": `n` with the word that goes with it.
QString Plural(qint64 n, const char* one, const char* many);

// Whether progress may be shown: only when standard error is a terminal.
bool ProgressWanted();

} // namespace CommandLine

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

// --catalogue FILE, `defaultFile` unless given; `help` is the option's line in --help.
QCommandLineOption CatalogueOption(const QString& help, const char* defaultFile);

// "1 site", "2 sites": `n` with the word that goes with it.
QString Plural(qint64 n, const char* one, const char* many);

// Whether progress may be shown: only when standard error is a terminal.
bool ProgressWanted();

} // namespace CommandLine

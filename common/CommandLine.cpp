#include "CommandLine.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace CommandLine {

namespace {

QString UsageLine(const Program& program) {
    return QStringLiteral("usage: %1 %2").arg(program.name, program.synopsis);
}

void Write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

} // namespace

int Parse(QCommandLineParser& parser, const Program& program, int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QByteArrayView raw(argv[i]);
        if (!raw.isValidUtf8())
            return ReportFailure(program,
                                 QStringLiteral("argument %1 is not valid UTF-8; name files in "
                                                "UTF-8 (rename the file or use another name)")
                                     .arg(i));
        arguments << QString::fromUtf8(raw);
    }
    QCoreApplication::setApplicationName(program.name);
    QCoreApplication::setApplicationVersion(QStringLiteral(SITEMORA_VERSION));
    parser.setApplicationDescription(program.description);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments))
        return WrongUsage(program, parser.errorText());
    // Qt lists --help-all beside --help; left alone it would run the program instead.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Qt's own help text names the program by its path; the usage line names it as
        // the user types it.
        QString text = parser.helpText();
        const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
        text = UsageLine(program) + (firstBreak >= 0 ? text.mid(firstBreak) : QString());
        Write(stdout, text);
        return 0;
    }
    if (parser.isSet(version)) {
        Write(stdout,
              QStringLiteral("%1 %2\n").arg(program.name, QStringLiteral(SITEMORA_VERSION)));
        return 0;
    }
    return kGoOn;
}

int WrongUsage(const Program& program, const QString& message) {
    if (!message.isEmpty())
        Write(stderr, QStringLiteral("%1: %2\n").arg(program.name, message));
    Write(stderr,
          UsageLine(program) + QStringLiteral("\nTry '%1 --help' for more.\n").arg(program.name));
    return kWrongUsage;
}

int ReportFailure(const Program& program, const QString& message) {
    Write(stderr, QStringLiteral("%1: %2\n").arg(program.name, message));
    return kFailure;
}

void Print(const QString& line) {
    Write(stdout, line + QLatin1Char('\n'));
}

QCommandLineOption CatalogueOption(const QString& help, const char* defaultFile) {
    return {QStringLiteral("catalogue"), help, QStringLiteral("FILE"),
            QString::fromUtf8(defaultFile)};
}

QString Plural(qint64 n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

bool ProgressWanted() {
    return isatty(STDERR_FILENO) != 0;
}

} // namespace CommandLine

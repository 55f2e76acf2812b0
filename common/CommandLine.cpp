#include "CommandLine.h"

#include "UserCatalogue.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QFileInfo>
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
        Write(stdout, QStringLiteral("%1 %2\n%3\n")
                          .arg(program.name, QStringLiteral(SITEMORA_VERSION), LicenceNotice()));
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

QString LicenceNotice() {
    return QStringLiteral(
        "Copyright (C) 2026 Sitemora maintainers\n"
        "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
        "This is free software: you are free to change and redistribute it.\n"
        "There is NO WARRANTY, to the extent permitted by law.");
}

QCommandLineOption UserCatalogueOption(const QString& help) {
    return {QStringLiteral("user-catalogue"), help};
}

CatalogueOptions::CatalogueOptions(const QString& role)
    : file_(QStringLiteral("catalogue"),
            QStringLiteral("%1 (default: Sitemora.mdb in the current directory)").arg(role),
            QStringLiteral("FILE")),
      user_(UserCatalogueOption(
          QStringLiteral("use Sitemora.mdb in $XDG_DATA_HOME/sitemora (by default "
                         "~/.local/share/sitemora), the catalogue the desktop menu starts "
                         "Sitemora on"))) {}

void CatalogueOptions::AddTo(QCommandLineParser& parser) const {
    parser.addOptions({file_, user_});
}

bool CatalogueOptions::FileIsSet(const QCommandLineParser& parser) const {
    return parser.isSet(file_);
}

bool CatalogueOptions::UserIsSet(const QCommandLineParser& parser) const {
    return parser.isSet(user_);
}

int CatalogueOptions::Choose(const QCommandLineParser& parser, const Program& program,
                             QString* path) const {
    if (FileIsSet(parser) && UserIsSet(parser))
        return WrongUsage(program, QStringLiteral("--catalogue and --user-catalogue name two "
                                                  "catalogues; give one"));
    *path = UserIsSet(parser)   ? UserCataloguePath()
            : FileIsSet(parser) ? parser.value(file_)
                                : QString::fromLatin1(kCatalogueFile);
    return kGoOn;
}

QString NoCatalogue(const QString& path) {
    const QString lookedFor = QFileInfo(path).absoluteFilePath();
    const QString menus = UserCataloguePath();
    QString text = QStringLiteral("no catalogue at %1").arg(lookedFor);
    if (lookedFor == menus)
        return text + QStringLiteral("; Sitemora started from the desktop menu makes it, and "
                                     "sitemora-newdb --user-catalogue writes an empty one");
    if (QFileInfo::exists(menus))
        return text + QStringLiteral("; the desktop menu's catalogue is %1: add "
                                     "--user-catalogue to use it")
                          .arg(menus);
    return text + QStringLiteral("; sitemora-newdb writes an empty one, and --catalogue FILE "
                                 "names another");
}

QString Plural(qint64 n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

bool ProgressWanted() {
    return isatty(STDERR_FILENO) != 0;
}

} // namespace CommandLine

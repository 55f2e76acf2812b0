// sitemora-render-icon SVG SIZE PNG: draws an SVG picture as a square PNG of SIZE pixels.
// Used by the build to make the desktop icons from the program's own artwork.
#include "CommandLine.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QSvgRenderer>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const CommandLine::Program program{
        QStringLiteral("sitemora-render-icon"), QStringLiteral("SVG SIZE PNG"),
        QStringLiteral("Draws SVG as a SIZE x SIZE pixel PNG with a transparent background.")};
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("SVG"), QStringLiteral("the picture to draw"));
    parser.addPositionalArgument(QStringLiteral("SIZE"), QStringLiteral("width and height"));
    parser.addPositionalArgument(QStringLiteral("PNG"), QStringLiteral("the file to write"));
    if (const int status = CommandLine::Parse(parser, program, argc, argv);
        status != CommandLine::kGoOn)
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() != 3)
        return CommandLine::WrongUsage(program, QStringLiteral("three arguments are needed"));
    bool sizeOk = false;
    const int size = args[1].toInt(&sizeOk);
    if (!sizeOk || size < 1 || size > 4096)
        return CommandLine::WrongUsage(program, QStringLiteral("bad size '%1'").arg(args[1]));

    QSvgRenderer renderer(args[0]);
    if (!renderer.isValid())
        return CommandLine::ReportFailure(program, QStringLiteral("cannot read %1").arg(args[0]));
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.setAspectRatioMode(Qt::KeepAspectRatio);
    renderer.render(&painter);
    painter.end();
    if (!image.save(args[2], "PNG"))
        return CommandLine::ReportFailure(program, QStringLiteral("cannot write %1").arg(args[2]));
    return 0;
}

// sitemora-newdb [FILE]: writes an empty catalogue, never over an existing file.
#include "Catalogue.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() > 1 || (!args.isEmpty() && args[0].startsWith(QLatin1Char('-')))) {
        std::fprintf(stderr, "usage: sitemora-newdb [FILE]\n"
                             "Writes an empty catalogue (default: Sitemora.mdb here).\n");
        return 2;
    }
    const QString target = args.isEmpty() ? QString::fromLatin1(Catalogue::kFileName) : args[0];
    QString error;
    if (!Catalogue::CreateEmpty(target, &error)) {
        std::fprintf(stderr, "sitemora-newdb: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("sitemora-newdb: wrote an empty catalogue to %s\n", qPrintable(target));
    return 0;
}

// Times sitemora-export in each format on a catalogue of 100,000 sites and 1,000,000
// paragraphs, and sitemora-import --merge on a bookmark file of 10,000 bookmarks and on
// the JSON export, each in a child process so its peak memory is its own.
// Run: build/bench/sitemora-bench-transfer [sites] [paragraphs-per-site]
#include "BenchSupport.h"
#include "Catalogue.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

QByteArray BookmarkFile(int count) {
    QByteArray html = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<META HTTP-EQUIV=\"Content-Type\" "
                      "CONTENT=\"text/html; charset=UTF-8\">\n<TITLE>Bookmarks</TITLE>\n"
                      "<H1>Bookmarks</H1>\n<DL><p>\n";
    for (int i = 0; i < count; ++i) {
        if (i % 100 == 0)
            html += (i > 0 ? "    </DL><p>\n" : "") + QByteArray("    <DT><H3>文件夹 ") +
                    QByteArray::number(i / 100) + "</H3>\n    <DL><p>\n";
        html += "        <DT><A HREF=\"https://mark" + QByteArray::number(i) +
                ".example.org/a?b=1&amp;c=2\" ADD_DATE=\"1700000000\">收藏 " +
                QByteArray::number(i) + "</A>\n";
        if (i % 10 == 0)
            html += "        <DD>A few words about it.\n";
    }
    return html + "    </DL><p>\n</DL><p>\n";
}

void Report(const char* what, const ChildResult& child, const char* target) {
    if (!child.ok)
        std::printf("%-28s failed\n", what);
    else
        std::printf("%-28s %6.2f s (%5.2f s processor) %5ld MB   %s\n", what, child.seconds,
                    child.cpuSeconds, child.peakMb, target);
}

} // namespace

int main(int argc, char** argv) {
    const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int perSite = argc > 2 ? std::atoi(argv[2]) : 10;
    QTemporaryDir dir;
    const QString catalogue = BenchCatalogue(dir.path(), sites, qint64(sites) * perSite);
    QString error;

    const QString exporter = QStringLiteral(SITEMORA_EXPORT_TOOL);
    for (const char* format : {"json", "csv", "bookmarks"}) {
        const QString out = dir.filePath(QStringLiteral("out.") + QLatin1String(format));
        const ChildResult child =
            RunChild({exporter, "--catalogue", catalogue, "--format", QLatin1String(format), out});
        Report(qPrintable(QStringLiteral("export %1 (%2 MB)")
                              .arg(QLatin1String(format))
                              .arg(QFileInfo(out).size() / 1048576)),
               child, "target < 3 s, < 150 MB");
    }

#ifdef SITEMORA_IMPORT_TOOL
    const QString importer = QStringLiteral(SITEMORA_IMPORT_TOOL);
    const QString bookmarks = dir.filePath(QStringLiteral("bookmarks.html"));
    QFile file(bookmarks);
    if (!file.open(QIODevice::WriteOnly) || file.write(BookmarkFile(10000)) < 0)
        return 1;
    file.close();
    Report("merge 10,000 bookmarks",
           RunChild({importer, "--catalogue", catalogue, "--merge", bookmarks}),
           "target < 1 s (into the catalogue above)");
    const QString empty = dir.filePath(QStringLiteral("Empty.mdb"));
    if (!Catalogue::CreateEmpty(empty, &error))
        return 1;
    Report("restore the JSON export",
           RunChild({importer, "--catalogue", empty, "--merge", dir.filePath("out.json")}),
           "into an empty catalogue");
#endif
    return 0;
}

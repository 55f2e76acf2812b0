// Runs sitemora-import --merge on exports of sitemora-export, on bookmark files written by
// hand in the shapes browsers write, and on damaged input, and reads the catalogue back.
#include "Backup.h"
#include "Connection.h"
#include "Mergers.h"
#include "TransferTesting.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace TransferTesting;

namespace {

Outcome Export(const TempCatalogue& catalogue, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_EXPORT_TOOL), catalogue.Dir(), args);
}

Outcome RunBackup(const TempCatalogue& catalogue, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_BACKUP_TOOL), catalogue.Dir(),
                      QStringList{"--catalogue", catalogue.Path()} + args);
}

// The backup a merge names on its closing line as the one that undoes it.
QString UndoneBy(const Outcome& merge) {
    static const QRegularExpression undo(QStringLiteral("restore (\\S+) undoes the merge\\n$"));
    return undo.match(merge.out).captured(1);
}

Outcome RunMerge(const TempCatalogue& catalogue, const QString& input) {
    return RunProgram(QStringLiteral(SITEMORA_IMPORT_TOOL), catalogue.Dir(),
                      {"--catalogue", catalogue.Path(), "--merge", input});
}

// Each site as "name | address | paragraph | ...", in key order.
QStringList Sites(TempCatalogue& catalogue) {
    QStringList sites;
    const qint64 last = catalogue.Count(QStringLiteral("SELECT max(WebIndex) FROM Web"));
    for (qint64 key = 1; key <= last; ++key) {
        QStringList parts{catalogue.ScalarText(
                              QStringLiteral("SELECT WebName FROM Web WHERE WebIndex = ?"), {key}),
                          catalogue.ScalarText(
                              QStringLiteral("SELECT WebUrl FROM Web WHERE WebIndex = ?"), {key})};
        const qint64 count = catalogue.Count(
            QStringLiteral("SELECT count(*) FROM Content WHERE ContentWeb = ?"), {key});
        for (qint64 n = 0; n < count; ++n)
            parts << catalogue.ScalarText(QStringLiteral("SELECT ContentTxt FROM Content WHERE "
                                                         "ContentWeb = ? ORDER BY ContentIndex "
                                                         "LIMIT 1 OFFSET ?"),
                                          {key, n});
        sites << parts.join(QStringLiteral(" | "));
    }
    return sites;
}

// A site object with every member of the export (texts empty), but `drop` left out and
// `add` put after the others.
QByteArray SiteJson(const QByteArray& key, const QByteArray& drop = {},
                    const QByteArray& add = {}) {
    QByteArrayList members{"\"WebIndex\": " + key};
    for (const QString& column : Catalogue::WebTextColumns())
        if (column.toLatin1() != drop)
            members << "\"" + column.toLatin1() + "\": \"\"";
    if (!add.isEmpty())
        members << add;
    return "{" + members.join(", ") + "}";
}

const QByteArray kHeader = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
                           "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
                           "charset=UTF-8\">\n<TITLE>Bookmarks</TITLE>\n";

} // namespace

class MergeTest : public QObject {
    Q_OBJECT

private slots:
    void jsonRestoresAnEmptyCatalogueExactly() {
        TempCatalogue source;
        TempCatalogue target;
        QVERIFY(FillRich(source));
        QCOMPARE(Export(source, {"--format", "json", "out.json"}).code, 0);
        const Outcome outcome = RunMerge(target, source.FilePath("out.json"));
        QCOMPARE(outcome.code, 0);
        QVERIFY(outcome.out.contains(QStringLiteral("restored 3 sites and 9 paragraphs")));
        QCOMPARE(Dump(target.Path()), Dump(source.Path()));
    }

    void jsonAppendsWithNewKeysKeepingEachSitesParagraphs() {
        TempCatalogue source;
        TempCatalogue target;
        QVERIFY(FillRich(source));
        QVERIFY(target.AddSite(QStringLiteral("already here")) == 1);
        QVERIFY(target.AddParagraph(0, QStringLiteral("an orphan being edited")) > 0);
        QCOMPARE(Export(source, {"--format", "json", "out.json"}).code, 0);
        const Outcome outcome = RunMerge(target, source.FilePath("out.json"));
        QCOMPARE(outcome.code, 0);
        QVERIFY(outcome.out.contains(QStringLiteral("added 3 sites and 7 paragraphs")));
        QVERIFY(outcome.out.contains(QStringLiteral("left out 2 paragraphs")));
        const QStringList before = Sites(source);
        QCOMPARE(Sites(target), QStringList{QStringLiteral("already here | ")} + before);
        QCOMPARE(target.Count(QStringLiteral("SELECT count(*) FROM Content WHERE ContentWeb = 0")),
                 1);
        QCOMPARE(target.Count(QStringLiteral("SELECT count(*) FROM Web WHERE WebUser1 IS NULL AND "
                                             "WebIndex = 3")),
                 1);
        QCOMPARE(target.ScalarText(QStringLiteral("SELECT WebKey3 FROM Web WHERE WebIndex = 4")),
                 QStringLiteral(""));
    }

    void bookmarkExportComesBackToTheSameAddresses() {
        TempCatalogue source;
        TempCatalogue target;
        QVERIFY(FillRich(source));
        QCOMPARE(Export(source, {"--format", "bookmarks", "out.html"}).code, 0);
        QCOMPARE(RunMerge(target, source.FilePath("out.html")).code, 0);
        QStringList expected;
        const QString name = source.ScalarText(QStringLiteral("SELECT WebName FROM Web"));
        const QStringList addressColumns =
            QStringList{"WebUrl"} + Catalogue::WebTextColumns().mid(17);
        for (const QString& column : addressColumns) {
            const QString address = source.ScalarText(
                QStringLiteral("SELECT %1 FROM Web WHERE WebIndex = 1").arg(column));
            if (!address.startsWith(QStringLiteral("javascript:")))
                expected << QStringLiteral("http://") + address;
        }
        const QStringList sites = Sites(target);
        QCOMPARE(sites.size(), expected.size());
        QCOMPARE(sites[0], name + " | " + expected[0] + " | " + name);
        for (int i = 0; i < sites.size(); ++i)
            QCOMPARE(sites[i].section(QStringLiteral(" | "), 1, 1), expected[i]);
        // Brought back into the catalogue it came from, nothing is new.
        const Outcome again = RunMerge(source, QStringLiteral("out.html"));
        QVERIFY(again.out.contains(QStringLiteral("added 0 sites")));
    }

    // Control characters would stop a reader of the file; they are left out, and every other
    // character, a leading U+FEFF too, comes back.
    void bookmarkExportKeepsEveryCharacterAReaderTakes() {
        TempCatalogue source;
        TempCatalogue target;
        const QString bom(QChar(0xFEFF));
        const QString smile = QStringLiteral("😀");
        QVERIFY(source.Exec(QStringLiteral("INSERT INTO Web (WebName, WebUrl, WebSonName1, "
                                           "WebSonPage1) VALUES (?, ?, ?, ?)"),
                            {bom + "网站\x01 " + QChar(0) + "尾 \x1f\x7f",
                             bom + "https://bom.example/" + bom, "sub\x02 page " + smile,
                             bom + "sub.example/a"}));
        QCOMPARE(Export(source, {"--format", "bookmarks", "out.html"}).code, 0);
        const QByteArray file = ReadAll(source.FilePath("out.html"));
        QVERIFY(!file.contains('\0') && !file.contains('\x01') && !file.contains('\x1f'));
        const Outcome outcome = RunMerge(target, source.FilePath("out.html"));
        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        // Compared in SQL: reading the text back through Qt would drop the U+FEFF itself.
        const QString name = bom + "网站 尾 \x7f";
        const QString site = QStringLiteral("SELECT count(*) FROM Web JOIN Content ON "
                                            "ContentWeb = WebIndex WHERE WebIndex = ? AND "
                                            "WebName = ? AND WebUrl = ? AND ContentTxt = ?");
        QCOMPARE(
            target.Count(site, {1, name, "http://" + bom + "https://bom.example/" + bom, name}), 1);
        QCOMPARE(
            target.Count(site, {2, "sub page " + smile, "http://" + bom + "sub.example/a", name}),
            1);
    }

    void bookmarkFilesOfCommonShapes_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("sites");
        QTest::addColumn<QString>("report");
        QTest::newRow("toolbar folder, nested folder, icons")
            << kHeader +
                   "<H1>Bookmarks</H1>\n<DL><p>\n"
                   "    <DT><H3 ADD_DATE=\"1700000000\" PERSONAL_TOOLBAR_FOLDER=\"true\">Bar "
                   "&amp; more</H3>\n    <DL><p>\n"
                   "        <DT><A HREF=\"https://docs.example.com/\" ADD_DATE=\"1\" "
                   "ICON=\"data:image/png;base64,iVBORw0KGgo=\">Docs &lt;new&gt;</A>\n"
                   "        <DT><H3>工具</H3>\n        <DL><p>\n"
                   "            <DT><A HREF=\"http://tools.example.cn/搜索?q=a&amp;b=c\">搜索</A>\n"
                   "        </DL><p>\n    </DL><p>\n"
                   "    <DT><A HREF=\"ftp://ftp.example.net/pub/\">FTP</A>\n"
                   "    <DT><A HREF=\"https://news.example.org/\">News again</A>\n"
                   "</DL><p>\n"
            << QStringList{"Docs <new> | https://docs.example.com/ | Bar & more",
                           "搜索 | http://tools.example.cn/搜索?q=a&b=c | Bar & more / 工具",
                           "FTP | ftp://ftp.example.net/pub/"}
            << "skipped 1 address the catalogue already has";
        QTest::newRow("descriptions, separators, places and scripts")
            << kHeader + "<H1>Bookmarks Menu</H1>\n\n<DL><p>\n"
                         "    <DT><A HREF=\"place:sort=8&maxResults=10\">Recent</A>\n    <HR>"
                         "    <DT><H3 ADD_DATE=\"1\" LAST_MODIFIED=\"2\">Reading</H3>\n"
                         "    <DD>About the folder\n    <DL><p>\n"
                         "        <DT><A HREF=\"https://read.example.com/a\" TAGS=\"x,y\" "
                         "SHORTCUTURL=\"r\">Article</A>\n"
                         "<DD>Why it matters\n&amp; a second line\n"
                         "        <DT><A HREF=\"javascript:void(0)\">Bookmarklet</A>\n"
                         "        <DT><A HREF=\"file:///home/me/notes.txt\">Notes</A>\n"
                         "    </DL><p>\n"
                         "    <DT><A HREF=\"HTTPS://Upper.Example.com/\">  </A>\n"
                         "</DL>\n"
            << QStringList{"Article | https://read.example.com/a | Reading | Why it matters\n& "
                           "a second line",
                           "Notes | file:///home/me/notes.txt | Reading",
                           "HTTPS://Upper.Example.com/ | HTTPS://Upper.Example.com/"}
            << "skipped 2 bookmarks that a browser does not open as a page";
        QTest::newRow("lower case, bare attributes, no paragraphs tags")
            << QByteArray("<!doctype netscape-bookmark-file-1>\n<title>Bookmarks</title>\n<dl>\n"
                          "<dt><h3>Favorites</h3>\n<dl>\n"
                          "<dt><a href=https://plain.example.com/>It&#39;s plain</a>\n"
                          "<dt><a href=\"data:text/html,hi\">data</a>\n</dl>\n"
                          "<dt><a href=\"https://plain.example.com/\">Twice in the file</a>\n"
                          "</dl>\n")
            << QStringList{"It's plain | https://plain.example.com/ | Favorites"}
            << "skipped 1 address the catalogue already has";
    }

    void bookmarkFilesOfCommonShapes() {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, sites);
        QFETCH(QString, report);
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("News"),
                                  QStringLiteral("https://news.example.org/")) > 0);
        QVERIFY(WriteAll(catalogue.FilePath("bookmarks.html"), file));
        const Outcome outcome = RunMerge(catalogue, QStringLiteral("bookmarks.html"));
        QCOMPARE(outcome.code, 0);
        QVERIFY2(outcome.out.contains(report), qPrintable(outcome.out));
        QCOMPARE(Sites(catalogue), QStringList{"News | https://news.example.org/"} + sites);
    }

    // Browsers write each bookmark as a <DT> line with no </DT>; the parser nests every one
    // in the one before, which must not count as folders.
    void browserSizedFilesMergeWhole() {
        TempCatalogue catalogue;
        QByteArray flat = kHeader + "<H1>Bookmarks</H1>\n<DL><p>\n";
        for (int i = 0; i < 20000; ++i)
            flat += "    <DT><A HREF=\"https://site" + QByteArray::number(i) +
                    ".example/\" ADD_DATE=\"1700000000\" LAST_MODIFIED=\"1700000001\">Site " +
                    QByteArray::number(i) + "</A>\n";
        flat += "</DL><p>\n";
        QVERIFY(WriteAll(catalogue.FilePath("flat.html"), flat));
        Outcome outcome = RunMerge(catalogue, QStringLiteral("flat.html"));
        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        QVERIFY2(outcome.out.contains(QStringLiteral("added 20000 sites")),
                 qPrintable(outcome.out));
        QCOMPARE(catalogue.ScalarText(QStringLiteral("SELECT WebUrl FROM Web WHERE WebIndex = "
                                                     "20000")),
                 QStringLiteral("https://site19999.example/"));

        QByteArray deep = kHeader + "<DL><p>\n";
        QString folders;
        for (int i = 0; i < 50; ++i) {
            deep += "<DT><H3>F" + QByteArray::number(i) + "</H3>\n<DL><p>\n";
            folders += (i ? " / F" : "F") + QString::number(i);
        }
        deep += "<DT><A HREF=\"https://deep.example/\">Deep</A>\n" +
                QByteArray("</DL><p>\n").repeated(51);
        QVERIFY(WriteAll(catalogue.FilePath("deep.html"), deep));
        outcome = RunMerge(catalogue, QStringLiteral("deep.html"));
        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        QCOMPARE(catalogue.ScalarText(QStringLiteral("SELECT ContentTxt FROM Content WHERE "
                                                     "ContentWeb = 20001")),
                 folders);
    }

    void badInputIsRefusedAndChangesNothing_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        const QByteArray head = "{\"format\": \"sitemora-catalogue\", \"version\": 1, "
                                "\"counters\": {\"Web\": 1, \"Content\": 1}, ";
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("not either format") << QByteArray("WebIndex,WebName\r\n1,a\r\n")
                                           << "neither a Sitemora JSON export nor a bookmark file";
        QTest::newRow("other JSON") << QByteArray("{\"name\": 1}") << "not a Sitemora export";
        QTest::newRow("newer version")
            << QByteArray("{\"format\": \"sitemora-catalogue\", \"version\": 2}") << "newer";
        QTest::newRow("truncated JSON")
            << head + "\"Web\": [{\"WebIndex\": 1, \"WebName\": \"cut he"
            << "ends too early";
        QTest::newRow("JSON not UTF-8")
            << head + "\"Web\": [{\"WebIndex\": 1, \"WebName\": \"caf\xe9\"}], \"Content\": []}"
            << "not UTF-8";
        QTest::newRow("lone surrogate")
            << head + "\"Web\": [{\"WebIndex\": 1, \"WebName\": \"\\ud800\"}], \"Content\": []}"
            << "surrogate";
        QTest::newRow("deeply nested JSON")
            << QByteArray("{\"format\": ") + QByteArray(100000, '[') << "nested";
        // An export of a good site followed by `sites`, with one paragraph.
        const auto file = [](const QByteArray& sites, const QByteArray& paragraph,
                             const QByteArray& webCounter = "2") {
            return "{\"format\": \"sitemora-catalogue\", \"version\": 1, \"counters\": "
                   "{\"Web\": " +
                   webCounter + ", \"Content\": 1}, \"Web\": [" + SiteJson("1") + sites +
                   "], \"Content\": [" + paragraph + "]}";
        };
        // A value of the wrong kind after good sites: nothing of the file is stored.
        QTest::newRow("bad paragraph after good sites")
            << file({}, "{\"ContentIndex\": 1, \"ContentWeb\": 1, \"ContentTxt\": 5}")
            << "\"Content\" entry 1 (ContentIndex 1), \"ContentTxt\": expected a string at line 1";
        // What the catalogue's 32-bit columns cannot hold, and objects that are not what the
        // export writes, are refused with the entry and the member named.
        const QByteArray paragraph =
            "{\"ContentIndex\": 1, \"ContentWeb\": 1, \"ContentTxt\": \"\"}";
        QTest::newRow("counter past 2^31-1")
            << file({}, paragraph, "2147483648")
            << "\"counters\", \"Web\": 2147483648 is out of range (0 to 2147483647)";
        QTest::newRow("key 0") << file(", " + SiteJson("0"), paragraph)
                               << "\"Web\" entry 2, \"WebIndex\": 0 is out of range (1 to";
        QTest::newRow("key past 2^31-1")
            << file({}, "{\"ContentIndex\": 2147483648, \"ContentWeb\": 1, \"ContentTxt\": \"\"}")
            << "\"Content\" entry 1, \"ContentIndex\": 2147483648 is out of range";
        QTest::newRow("site with only its key") << file(", {\"WebIndex\": 2}", paragraph)
                                                << "\"Web\" entry 2 (WebIndex 2): no \"WebName\"";
        QTest::newRow("paragraph without its site")
            << file({}, "{\"ContentIndex\": 1, \"ContentTxt\": \"\"}")
            << "\"Content\" entry 1 (ContentIndex 1): no \"ContentWeb\"";
        QTest::newRow("unknown member")
            << file(", " + SiteJson("2", {}, "\"WebSonPage9\": \"\""), paragraph)
            << "\"Web\" entry 2 (WebIndex 2): an unknown member \"WebSonPage9\"";
        QTest::newRow("member behind a byte order mark")
            << file(", " + SiteJson("2", "WebSonPage7", "\"\\ufeffWebSonPage7\": \"\""), paragraph)
            << "an unknown member \"\\ufeffWebSonPage7\"";
        QTest::newRow("bookmarks not UTF-8")
            << kHeader + "<DL><p><DT><A HREF=\"https://x.example/\">caf\xe9</A></DL>"
            << "not UTF-8";
        QTest::newRow("bookmarks cut short")
            << kHeader + "<DL><p>\n<DT><H3>F</H3>\n<DL><p>\n<DT><A "
                         "HREF=\"https://x.example/\">x</A>\n</DL><p>\n<DT><A HR"
            << "not closed";
        QByteArray deep = kHeader;
        for (int i = 0; i < 100000; ++i)
            deep += "<DL><p><DT><H3>f</H3>\n";
        QTest::newRow("deeply nested bookmarks") << deep << "folders nested more than 256 deep";
        QTest::newRow("cut before the list")
            << kHeader + "<H1>Bookm"
            << "the bookmark list is missing (is the file cut short?)";
        // libxml2 compares each attribute with all before it: 200,000 take it most of a
        // minute, and twice as many four times that.
        QByteArray attributes = kHeader + "<DL><p>\n<DT><A HREF=\"https://x.example/\"";
        for (int i = 0; i < 400000; ++i)
            attributes += " a" + QByteArray::number(i);
        QTest::newRow("a tag with thousands of attributes")
            << attributes + ">x</A>\n</DL><p>\n"
            << "a tag with more than 100 attributes on line 5";
        // Each end tag that closes nothing makes the parser search all the open elements.
        QTest::newRow("end tags that close nothing, deep")
            << kHeader + "<DL><p>\n" + QByteArray("<DT>").repeated(200000) +
                   QByteArray("</X>").repeated(200000)
            << "too many misplaced tags";
        QTest::newRow("directory") << QByteArray("dir") << "not a regular file";
        QTest::newRow("FIFO") << QByteArray("fifo") << "not a regular file";
        QTest::newRow("huge JSON") << QByteArray("huge {") << "too large";
        QTest::newRow("huge bookmark file") << QByteArray("huge <") << "too large";
    }

    void badInputIsRefusedAndChangesNothing() {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("kept"), QStringLiteral("https://kept.example/")) >
                0);
        QVERIFY(catalogue.AddParagraph(1, QStringLiteral("kept too")) > 0);
        const QByteArrayList before = Dump(catalogue.Path());
        const QString input = catalogue.FilePath(QStringLiteral("input"));
        if (file == "dir") {
            QVERIFY(QDir(catalogue.Dir()).mkdir(QStringLiteral("input")));
        } else if (file == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0600), 0);
        } else if (file.startsWith("huge ")) {
            // Sparse: the size is there without the disk space.
            QVERIFY(WriteAll(input, file.mid(5)));
            QCOMPARE(
                ::truncate(QFile::encodeName(input).constData(),
                           file.endsWith('{') ? (qint64(4) << 30) + 1 : (qint64(256) << 20) + 1),
                0);
        } else {
            QVERIFY(WriteAll(input, file));
        }
        const Outcome outcome = RunMerge(catalogue, input);
        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
        QVERIFY(outcome.err.contains(input));
        QCOMPARE(Dump(catalogue.Path()), before);
        QVERIFY(Backup::List(catalogue.Path()).isEmpty());
    }

    // A merge names the backup that holds the catalogue as it was just before: a new one,
    // or the newest when nothing changed since it was made. Restoring it undoes the merge.
    void mergeNamesTheBackupThatUndoesIt() {
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("kept"), QStringLiteral("https://kept.example/")) >
                0);
        for (const char* site : {"one", "two"})
            QVERIFY(WriteAll(catalogue.FilePath(QLatin1String(site) + ".html"),
                             kHeader + "<DL><p><DT><A HREF=\"https://" + site + ".example/\">" +
                                 site + "</A></DL><p>"));
        QCOMPARE(RunBackup(catalogue, {"now"}).code, 0);
        const QString madeBefore = Backup::List(catalogue.Path()).value(0).name;
        const QByteArrayList original = Dump(catalogue.Path());
        const Outcome first = RunMerge(catalogue, QStringLiteral("one.html"));
        QCOMPARE(first.code, 0);
        QCOMPARE(UndoneBy(first), madeBefore);
        QCOMPARE(Backup::List(catalogue.Path()).size(), 1);

        const QByteArrayList afterFirst = Dump(catalogue.Path());
        const Outcome second = RunMerge(catalogue, QStringLiteral("two.html"));
        QCOMPARE(second.code, 0);
        QCOMPARE(UndoneBy(second), Backup::List(catalogue.Path()).value(0).name);
        QVERIFY(UndoneBy(second) != madeBefore);
        QCOMPARE(RunBackup(catalogue, {"restore", UndoneBy(second)}).code, 0);
        QCOMPARE(Dump(catalogue.Path()), afterFirst);
        QCOMPARE(RunBackup(catalogue, {"restore", madeBefore}).code, 0);
        QCOMPARE(Dump(catalogue.Path()), original);
    }

    // Without a backup there is no undoing: the merge does not go ahead.
    void noBackupNoMerge() {
        TempCatalogue catalogue;
        QVERIFY(WriteAll(Backup::FolderOf(catalogue.Path()), "a file where the folder goes"));
        QVERIFY(WriteAll(catalogue.FilePath("b.html"),
                         kHeader + "<DL><p><DT><A HREF=\"https://w.example/\">W</A></DL><p>"));
        const QByteArrayList before = Dump(catalogue.Path());
        const Outcome outcome = RunMerge(catalogue, QStringLiteral("b.html"));
        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(QStringLiteral("no backup to undo it could be made first "
                                                     "(cannot make the folder")),
                 qPrintable(outcome.err));
        QCOMPARE(Dump(catalogue.Path()), before);
    }

    // A text longer than SQLite takes fails the merge; it is never stored as no value.
    // The limit is lowered here, where a real text would need a gigabyte.
    void jsonTextOverTheLengthLimitIsRefused() {
        TempCatalogue catalogue;
        const QByteArrayList before = Dump(catalogue.Path());
        Connection connection(catalogue.Path());
        QString error;
        QVERIFY2(connection.Open(&error), qPrintable(error));
        sqlite3_limit(connection.Handle(), SQLITE_LIMIT_LENGTH, 1000);
        const QByteArray json =
            "{\"format\": \"sitemora-catalogue\", \"version\": 1, "
            "\"counters\": {\"Web\": 1, \"Content\": 0}, \"Content\": [], "
            "\"Web\": [" +
            SiteJson("1", "WebUrl", "\"WebUrl\": \"" + QByteArray(2000, 'x') + "\"") + "]}";
        Merge::Summary summary;
        QVERIFY(!Merge::MergeJson(connection, json, &summary, &error));
        QVERIFY2(error.contains(QStringLiteral("a Web entry the catalogue refuses (string or "
                                               "blob too big)")),
                 qPrintable(error));
        connection.Close();
        QCOMPARE(Dump(catalogue.Path()), before);
    }

    // Another running copy holds the write lock for a while: the merge waits for it as
    // the program does, then goes through.
    void waitsForAnotherCopysLock() {
        TempCatalogue catalogue;
        QVERIFY(WriteAll(catalogue.FilePath("b.html"),
                         kHeader + "<DL><p><DT><A HREF=\"https://w.example/\">W</A></DL><p>"));
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(catalogue.Path()).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        QProcess merge;
        merge.start(QStringLiteral(SITEMORA_IMPORT_TOOL),
                    {"--catalogue", catalogue.Path(), "--merge", catalogue.FilePath("b.html")});
        QVERIFY(merge.waitForStarted());
        // Once the file is checked and the catalogue backed up, the merge's only sleep is
        // between two tries for the write lock.
        const auto waitsForTheLock = [&] {
            QFile wchan(QStringLiteral("/proc/%1/wchan").arg(merge.processId()));
            return !Backup::List(catalogue.Path()).isEmpty() && wchan.open(QIODevice::ReadOnly) &&
                   wchan.readAll() == "hrtimer_nanosleep";
        };
        QTRY_VERIFY_WITH_TIMEOUT(waitsForTheLock(), 4000);
        QCOMPARE(merge.state(), QProcess::Running);
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        QVERIFY(merge.waitForFinished(10000));
        QCOMPARE(merge.exitCode(), 0);
        QCOMPARE(Sites(catalogue), QStringList{"W | https://w.example/"});
    }
};

QTEST_GUILESS_MAIN(MergeTest)
#include "tst_merge.moc"

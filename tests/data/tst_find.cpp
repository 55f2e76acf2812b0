#include "Catalogue.h"
#include "FindBuild.h"
#include "Finder.h"
#include "FindIndex.h"
#include "support/TempCatalogue.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

#include <sqlite3.h>

// Every find is compared with a plain reading of the texts, the way a user would check
// it by hand: fold A to Z and nothing else, look at every box but the passwords and at
// every paragraph that belongs to the site.
class FindTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void FindsWhatAScanFinds();
    void FindsAnotherConnectionsChangeAtOnce();
    void DamagedOrMissingIndexStillAnswersRight();
    void TriggersLeaveTheStatementsAsTheyWere();

private:
    static QString Fold(QString text);
    static QString RandomText(QRandomGenerator& random, int longest);
    void Fill(int sites);
    QSet<qint64> Expected(const QString& query);
    QSet<qint64> Found(const QString& query, bool* scanned = nullptr);
    void Build();
    void CompareRandomQueries(int count, bool expectIndex);

    // Another program writing the tables, and reading them the plain way.
    bool Exec(const char* sql, const QVariantList& values = {});
    qint64 Insert(const char* sql, const QVariantList& values);

    std::unique_ptr<TempCatalogue> catalogue_;
    Sqlite::Database other_;
    QRandomGenerator random_{22};
};

namespace {

// Chinese, both cases of Latin, and characters that must not fold: é, a full-width A.
const QString kAlphabet = QStringLiteral("网站密码已改笔记中文aAbBcCéＡ-1");

} // namespace

void FindTest::init() {
    catalogue_ = std::make_unique<TempCatalogue>();
    QVERIFY2(catalogue_->IsValid(), qPrintable(catalogue_->LastError()));
    QString error;
    QCOMPARE(other_.Open(catalogue_->Path(), SQLITE_OPEN_READWRITE, &error, 5000), SQLITE_OK);
}

bool FindTest::Exec(const char* sql, const QVariantList& values) {
    Sqlite::Statement statement(other_.Get(), sql);
    for (qsizetype i = 0; i < values.size(); ++i)
        statement.Bind(static_cast<int>(i + 1), values[i]);
    return statement.Run();
}

qint64 FindTest::Insert(const char* sql, const QVariantList& values) {
    return Exec(sql, values) ? Sqlite::LastInsertKey(other_.Get()) : -1;
}

QString FindTest::Fold(QString text) {
    for (QChar& c : text) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + 32);
    }
    return text;
}

QString FindTest::RandomText(QRandomGenerator& random, int longest) {
    QString text;
    const int length = random.bounded(longest + 1);
    for (int i = 0; i < length; ++i)
        text += kAlphabet.at(random.bounded(kAlphabet.size()));
    return text;
}

void FindTest::Fill(int sites) {
    QVERIFY(Exec("BEGIN"));
    for (int s = 0; s < sites; ++s) {
        // Passwords hold text no other box has; no query may find them.
        const qint64 site = Insert(
            "INSERT INTO Web (WebName, WebUrl, WebPr, WebUser2, WebKey1, WebKey3, WebSonName5,"
            " WebSonPage8) VALUES (?, ?, ?, ?, 'zqkey', ?, ?, ?)",
            {RandomText(random_, 8), RandomText(random_, 8), RandomText(random_, 3),
             RandomText(random_, 6), RandomText(random_, 6), RandomText(random_, 6),
             RandomText(random_, 6)});
        QVERIFY(site > 0);
        for (int p = random_.bounded(4); p > 0; --p)
            QVERIFY(Insert("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, ?)",
                           {site, RandomText(random_, 40) + QStringLiteral("\n") +
                                      RandomText(random_, 10)}) > 0);
    }
    // A pending paragraph belongs to no site.
    QVERIFY(Insert("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (0, 'zqpending')", {}) > 0);
    QVERIFY(Exec("COMMIT"));
}

QSet<qint64> FindTest::Expected(const QString& query) {
    QHash<qint64, QStringList> texts;
    Sqlite::Statement web(other_.Get(),
                          "SELECT WebIndex, WebName, WebUrl, WebPr, WebUser1, WebUser2, WebUser3,"
                          " WebSonName1, WebSonName2, WebSonName3, WebSonName4, WebSonName5,"
                          " WebSonName6, WebSonName7, WebSonName8, WebSonPage1, WebSonPage2,"
                          " WebSonPage3, WebSonPage4, WebSonPage5, WebSonPage6, WebSonPage7,"
                          " WebSonPage8 FROM Web");
    while (web.Next()) {
        texts[web.Integer(0)];
        for (int i = 1; i <= 22; ++i)
            texts[web.Integer(0)] << Fold(QString::fromUtf8(web.Text(i)));
    }
    Sqlite::Statement paragraphs(other_.Get(), "SELECT ContentWeb, ContentTxt FROM Content");
    while (paragraphs.Next()) {
        if (texts.contains(paragraphs.Integer(0)))
            texts[paragraphs.Integer(0)] << Fold(QString::fromUtf8(paragraphs.Text(1)));
    }
    QSet<qint64> sites;
    const QStringList words = Fold(query).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        const bool all =
            !words.isEmpty() && std::all_of(words.cbegin(), words.cend(), [&](const QString& word) {
                for (const QString& text : *it) {
                    if (text.contains(word))
                        return true;
                }
                return false;
            });
        if (all)
            sites.insert(it.key());
    }
    return sites;
}

QSet<qint64> FindTest::Found(const QString& query, bool* scanned) {
    Sqlite::Database db;
    QString error;
    if (!Catalogue::OpenExisting(catalogue_->Path(), Catalogue::Access::ReadOnly, &db, &error) ||
        !Find::Prepare(db.Get(), catalogue_->Path(), false, &error))
        qFatal("cannot open: %s", qPrintable(error));
    Find::Finder finder(db.Get(), query);
    QList<Find::Result> results;
    while (!finder.AtEnd()) {
        if (!finder.Next(7, &results, &error))
            qFatal("find failed: %s", qPrintable(error));
    }
    QSet<qint64> sites;
    for (const Find::Result& result : results) {
        // In order, each once, and what was found is shown.
        if (!sites.isEmpty() && result.site <= *std::max_element(sites.cbegin(), sites.cend()))
            qFatal("results out of order");
        if (result.matchLength <= 0 || result.place.isEmpty())
            qFatal("a result without its place");
        sites.insert(result.site);
    }
    if (scanned)
        *scanned = finder.Scanned();
    return sites;
}

void FindTest::Build() {
    Sqlite::Database db;
    QString error;
    QVERIFY(Catalogue::OpenExisting(catalogue_->Path(), Catalogue::Access::ReadWrite, &db, &error));
    QCOMPARE(Find::KeepCurrent(db.Get(), catalogue_->Path(), true, nullptr, &error),
             Find::Progress::Idle);
}

void FindTest::CompareRandomQueries(int count, bool expectIndex) {
    for (int i = 0; i < count; ++i) {
        QString query = RandomText(random_, 6);
        if (query.isEmpty())
            query = kAlphabet.at(i % kAlphabet.size());
        if (i % 5 == 0)
            query += QLatin1Char(' ') + RandomText(random_, 2);
        bool scanned = false;
        QCOMPARE(Found(query, &scanned), Expected(query));
        QCOMPARE(scanned, !expectIndex);
    }
    QVERIFY(Found(QStringLiteral("zqkey")).isEmpty());
    QVERIFY(Found(QStringLiteral("zqpending")).isEmpty());
}

void FindTest::FindsWhatAScanFinds() {
    // More sites than one build step takes, so that a build resumes where it stopped.
    Fill(Find::kSitesPerBuildStep + 40);
    CompareRandomQueries(60, false);
    {
        // A build cut short after its first sites, as by closing the program: half an
        // index is never used, and the next build goes on from there.
        Sqlite::Database db;
        QString error;
        QVERIFY(
            Catalogue::OpenExisting(catalogue_->Path(), Catalogue::Access::ReadWrite, &db, &error));
        QVERIFY(Find::Prepare(db.Get(), catalogue_->Path(), true, &error));
        QCOMPARE(Find::BuildStep(db.Get(), &error), Find::Progress::Worked);
        QCOMPARE(Find::BuildStep(db.Get(), &error), Find::Progress::Worked);
    }
    CompareRandomQueries(20, false);
    Build();
    CompareRandomQueries(150, true);
}

void FindTest::FindsAnotherConnectionsChangeAtOnce() {
    Fill(30);
    Build();
    const qint64 site = Insert("INSERT INTO Web (WebName) VALUES ('新站')", {});
    const qint64 paragraph =
        Insert("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, '旧笔记Xy')", {site});
    Build();
    QCOMPARE(Found(QStringLiteral("旧笔记xY")), QSet<qint64>{site});
    // Another program changes the paragraph and the boxes; nothing rebuilds the index.
    QVERIFY(Exec("UPDATE Content SET ContentTxt = '新笔记' WHERE ContentIndex = ?", {paragraph}));
    QVERIFY(Exec("UPDATE Web SET WebKey2 = '旧笔记' WHERE WebIndex = ?", {site}));
    bool scanned = true;
    QCOMPARE(Found(QStringLiteral("新笔"), &scanned), QSet<qint64>{site});
    QVERIFY(!scanned);
    QVERIFY(Found(QStringLiteral("旧笔记")).isEmpty());
    // Handed back to pending, the paragraph is no site's any more.
    QVERIFY(Exec("UPDATE Content SET ContentWeb = 0 WHERE ContentIndex = ?", {paragraph}));
    QVERIFY(Found(QStringLiteral("新笔")).isEmpty());
    CompareRandomQueries(40, true);
    Build();
    CompareRandomQueries(40, true);
}

void FindTest::DamagedOrMissingIndexStillAnswersRight() {
    Fill(200);
    Build();
    const QString index = Find::IndexPath(catalogue_->Path());
    QFile file(index);
    QVERIFY(file.open(QIODevice::ReadWrite));
    const qint64 size = file.size();
    QVERIFY(size > 8192);
    // Pages zeroed here and there, as a failing disk leaves them.
    for (qint64 at = 4 * 4096; at < size; at += 3 * 4096) {
        file.seek(at);
        file.write(QByteArray(4096, '\0'));
    }
    file.close();
    for (int i = 0; i < 40; ++i) {
        const QString query = RandomText(random_, 4) + kAlphabet.at(i % kAlphabet.size());
        QCOMPARE(Found(query), Expected(query));
    }
    // The next build throws the damaged file away and makes a good one.
    Build();
    CompareRandomQueries(30, true);
    QVERIFY(QFile::remove(index));
    CompareRandomQueries(30, false);
}

void FindTest::TriggersLeaveTheStatementsAsTheyWere() {
    Fill(3);
    Build();
    // Whatever conflict policy a writer asks for, a site logged twice never fails it, and
    // the key and the count of changed rows it reads back are its own row's.
    const char* const writes[] = {
        "INSERT OR ABORT INTO Content (ContentWeb, ContentTxt) VALUES (1, 'a')",
        "INSERT OR FAIL INTO Content (ContentWeb, ContentTxt) VALUES (1, 'b')",
        "INSERT OR ROLLBACK INTO Content (ContentWeb, ContentTxt) VALUES (1, 'c')",
        "INSERT OR REPLACE INTO Web (WebIndex, WebName) VALUES (1, 'd')",
        "UPDATE OR ABORT Web SET WebName = 'e' WHERE WebIndex = 1",
    };
    for (const char* write : writes) {
        QVERIFY2(Exec(write), write);
        QCOMPARE(sqlite3_changes(other_.Get()), 1);
    }
    const qint64 key = Insert("INSERT INTO Web (WebName) VALUES ('f')", {});
    QCOMPARE(key, qint64(4));
    const qint64 paragraph =
        Insert("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, 'g')", {key});
    Sqlite::Statement last(other_.Get(), "SELECT max(ContentIndex) FROM Content");
    QVERIFY(last.Next());
    QCOMPARE(paragraph, last.Integer(0));
    QCOMPARE(Found(QStringLiteral("e")).contains(1), true);
}

QTEST_GUILESS_MAIN(FindTest)
#include "tst_find.moc"

#include "Connection.h"
#include "PendingParagraphs.h"
#include "Query.h"
#include "SiteStore.h"
#include "support/RecordingDialogs.h"
#include "support/TempCatalogue.h"

#include <QTest>

// OK of the site editor while another running copy, on its own connection, changes or
// deletes the same site.
class TestSiteStore : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void writesOnlyTheColumnsTheUserChanged();
    void namesTheColumnsAnotherCopyChangedToo();
    void storesADeletedSiteOnlyAsANewOne();

private:
    std::unique_ptr<TempCatalogue> catalogue_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<Query> scratch_;
    std::unique_ptr<Query> second_;
    std::unique_ptr<PendingParagraphs> pending_;
    std::unique_ptr<SiteStore> store_;
    RecordingDialogs dialogs_;
    qint64 site_ = 0;
};

void TestSiteStore::init() {
    catalogue_ = std::make_unique<TempCatalogue>();
    site_ = catalogue_->AddSite("name", "http://read.example", "note");
    connection_ = std::make_unique<Connection>(catalogue_->Path());
    scratch_ = std::make_unique<Query>();
    second_ = std::make_unique<Query>();
    scratch_->SetConnection(connection_.get());
    second_->SetConnection(connection_.get());
    pending_ = std::make_unique<PendingParagraphs>(*connection_);
    store_ = std::make_unique<SiteStore>(*connection_, *scratch_, *second_, *pending_);
}

void TestSiteStore::cleanup() {
    store_.reset();
    pending_.reset();
    second_.reset();
    scratch_.reset();
    connection_.reset();
    catalogue_.reset();
}

void TestSiteStore::writesOnlyTheColumnsTheUserChanged() {
    QVERIFY(catalogue_->Exec("UPDATE Web SET WebPr = 'theirs' WHERE WebIndex = ?", {site_}));
    std::vector<SiteStore::Conflict> conflicts;
    QCOMPARE(store_->Store(site_, {{"WebUrl", "http://read.example", "http://mine.example"}},
                           dialogs_, &conflicts),
             SiteStore::Outcome::Stored);
    QCOMPARE(catalogue_->ScalarText("SELECT WebUrl FROM Web"),
             QStringLiteral("http://mine.example"));
    QCOMPARE(catalogue_->ScalarText("SELECT WebPr FROM Web"), QStringLiteral("theirs"));
    QCOMPARE(catalogue_->ScalarText("SELECT WebName FROM Web"), QStringLiteral("name"));
    QCOMPARE(dialogs_.Shown(), 0);
}

void TestSiteStore::namesTheColumnsAnotherCopyChangedToo() {
    QVERIFY(catalogue_->Exec("UPDATE Web SET WebPr = 'theirs' WHERE WebIndex = ?", {site_}));
    const std::vector<SiteStore::Column> changed = {
        {"WebUrl", "http://read.example", "http://mine.example"},
        {"WebPr", "note", "mine"},
    };
    std::vector<SiteStore::Conflict> conflicts;
    QCOMPARE(store_->Store(site_, changed, dialogs_, &conflicts),
             SiteStore::Outcome::ChangedElsewhere);
    QCOMPARE(conflicts.size(), std::size_t(1));
    QCOMPARE(conflicts[0].column, std::size_t(1));
    QCOMPARE(conflicts[0].stored, QStringLiteral("theirs"));
    // Nothing written, not even the column without a conflict, and the file is free
    // while the user is asked.
    QCOMPARE(catalogue_->ScalarText("SELECT WebUrl FROM Web"),
             QStringLiteral("http://read.example"));
    QVERIFY(catalogue_->WritableNow());

    // The user chose to overwrite: what the other copy stored is now what was read.
    QCOMPARE(store_->Store(site_, {changed[0], {"WebPr", "theirs", "mine"}}, dialogs_, &conflicts),
             SiteStore::Outcome::Stored);
    QCOMPARE(catalogue_->ScalarText("SELECT WebPr FROM Web"), QStringLiteral("mine"));
    QCOMPARE(catalogue_->ScalarText("SELECT WebUrl FROM Web"),
             QStringLiteral("http://mine.example"));
}

void TestSiteStore::storesADeletedSiteOnlyAsANewOne() {
    QVERIFY(catalogue_->Exec("DELETE FROM Web"));
    const std::vector<SiteStore::Column> columns = {{"WebName", "name", "name"},
                                                    {"WebUrl", "http://read.example", "http://x"}};
    std::vector<SiteStore::Conflict> conflicts;
    QCOMPARE(store_->Store(site_, columns, dialogs_, &conflicts), SiteStore::Outcome::Gone);
    QCOMPARE(catalogue_->Count("SELECT count(*) FROM Web"), 0);
    QVERIFY(catalogue_->WritableNow());
    QCOMPARE(store_->AddParagraph(site_, "text", dialogs_), SiteStore::Outcome::Gone);
    QCOMPARE(catalogue_->Count("SELECT count(*) FROM Content"), 0);

    qint64 stored = 0;
    QVERIFY(store_->StoreNew(columns, false, dialogs_, &stored));
    QVERIFY(stored != site_);
    QCOMPARE(catalogue_->ScalarText("SELECT WebUrl FROM Web WHERE WebIndex = ?", {stored}),
             QStringLiteral("http://x"));
    QCOMPARE(dialogs_.Shown(), 0);
}

QTEST_MAIN(TestSiteStore)
#include "tst_sitestore.moc"

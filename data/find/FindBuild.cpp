#include "FindBuild.h"

#include "FindIndex.h"
#include "FindText.h"
#include "GramTokenizer.h"
#include "Sqlite.h"

#include <QFile>
#include <QRandomGenerator>

#include <limits>
#include <sqlite3.h>

namespace Find {

namespace {

constexpr qint64 kLastVersion = (qint64{1} << kVersionBits) - 1;

// Triggers only add a site's number to FindLog: they never change a row of Web or Content,
// and a row already logged is not inserted again, so no conflict policy of the statement
// that fires them can make it fail.
constexpr const char* kTracking = R"(
CREATE TABLE IF NOT EXISTS main.FindLog (Site INTEGER PRIMARY KEY);
CREATE TABLE IF NOT EXISTS main.FindState (Token INTEGER NOT NULL, Generation INTEGER NOT NULL);
CREATE TRIGGER IF NOT EXISTS main.FindWebInsert AFTER INSERT ON Web BEGIN
  INSERT INTO FindLog (Site) SELECT NEW.WebIndex
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = NEW.WebIndex);
END;
CREATE TRIGGER IF NOT EXISTS main.FindWebUpdate AFTER UPDATE ON Web BEGIN
  INSERT INTO FindLog (Site) SELECT NEW.WebIndex
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = NEW.WebIndex);
  INSERT INTO FindLog (Site) SELECT OLD.WebIndex
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = OLD.WebIndex);
END;
CREATE TRIGGER IF NOT EXISTS main.FindWebDelete AFTER DELETE ON Web BEGIN
  INSERT INTO FindLog (Site) SELECT OLD.WebIndex
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = OLD.WebIndex);
END;
CREATE TRIGGER IF NOT EXISTS main.FindContentInsert AFTER INSERT ON Content
  WHEN NEW.ContentWeb > 0 BEGIN
  INSERT INTO FindLog (Site) SELECT NEW.ContentWeb
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = NEW.ContentWeb);
END;
CREATE TRIGGER IF NOT EXISTS main.FindContentUpdate AFTER UPDATE ON Content BEGIN
  INSERT INTO FindLog (Site) SELECT NEW.ContentWeb WHERE NEW.ContentWeb > 0
    AND NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = NEW.ContentWeb);
  INSERT INTO FindLog (Site) SELECT OLD.ContentWeb WHERE OLD.ContentWeb > 0
    AND NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = OLD.ContentWeb);
END;
CREATE TRIGGER IF NOT EXISTS main.FindContentDelete AFTER DELETE ON Content
  WHEN OLD.ContentWeb > 0 BEGIN
  INSERT INTO FindLog (Site) SELECT OLD.ContentWeb
    WHERE NOT EXISTS (SELECT 1 FROM FindLog WHERE Site = OLD.ContentWeb);
END;
)";

// A build from nothing reuses the pages the dropped tables leave free.
constexpr const char* kFreshIndex = R"(
DROP TABLE IF EXISTS find.FindGrams;
DROP TABLE IF EXISTS find.FindDoc;
DROP TABLE IF EXISTS find.FindMeta;
CREATE VIRTUAL TABLE find.FindGrams USING fts5 (body, content = '', detail = none,
  columnsize = 0, tokenize = 'sitemora_grams');
INSERT INTO find.FindGrams (FindGrams, rank) VALUES ('pgsz', 4050);
CREATE TABLE find.FindDoc (Site INTEGER PRIMARY KEY, Version INTEGER NOT NULL);
CREATE TABLE find.FindMeta (Token INTEGER NOT NULL, Generation INTEGER NOT NULL,
  BuiltUpTo INTEGER NOT NULL, Complete INTEGER NOT NULL, Live INTEGER NOT NULL,
  Dead INTEGER NOT NULL);
DELETE FROM main.FindState;
)";

struct Meta {
    bool matches = false;
    qint64 builtUpTo = 0;
    bool complete = false;
    qint64 live = 0;
    qint64 dead = 0;
};

Meta ReadMeta(sqlite3* db) {
    Meta meta;
    Sqlite::Statement read(db, "SELECT s.Token = m.Token AND s.Generation = m.Generation,"
                               " m.BuiltUpTo, m.Complete, m.Live, m.Dead"
                               " FROM main.FindState AS s, find.FindMeta AS m");
    if (read.IsValid() && read.Next()) {
        meta.matches = read.Integer(0) == 1;
        meta.builtUpTo = read.Integer(1);
        meta.complete = read.Integer(2) == 1;
        meta.live = read.Integer(3);
        meta.dead = read.Integer(4);
    }
    return meta;
}

bool StartAfresh(sqlite3* db, QString* error) {
    if (!Sqlite::Exec(db, kFreshIndex, error))
        return false;
    // The token tells this index from any other file that might be put beside the catalogue.
    const qint64 token = static_cast<qint64>(QRandomGenerator::system()->generate64() >> 1);
    Sqlite::Statement meta(db, "INSERT INTO find.FindMeta VALUES (?, 0, 0, 0, 0, 0)");
    Sqlite::Statement state(db, "INSERT INTO main.FindState VALUES (?, 0)");
    meta.BindInteger(1, token);
    state.BindInteger(1, token);
    if (meta.Run() && state.Run())
        return true;
    if (error)
        *error = Sqlite::LastError(db);
    return false;
}

// Puts the site's current texts into the index, or takes it out when it is gone.
class SiteIndexer {
public:
    explicit SiteIndexer(sqlite3* db)
        : db_(db), reader_(db), version_(db, "SELECT Version FROM find.FindDoc WHERE Site = ?"),
          insert_(db, "INSERT INTO find.FindGrams (rowid, body) VALUES (?, ?)"),
          doc_(db, "INSERT OR REPLACE INTO find.FindDoc VALUES (?, ?)"),
          drop_(db, "DELETE FROM find.FindDoc WHERE Site = ?"),
          unlog_(db, "DELETE FROM main.FindLog WHERE Site = ?") {}

    // Counts the documents it adds and leaves dead; false on a failure.
    bool Index(qint64 site, const SiteTexts* texts, qint64* live, qint64* dead) {
        version_.Reset();
        version_.BindInteger(1, site);
        const bool had = version_.Next();
        const qint64 version = had ? version_.Integer(0) + 1 : 0;
        const bool failed = version_.Failed();
        version_.Reset();
        if (failed)
            return false;
        if (had) {
            ++*dead;
            --*live;
        }
        unlog_.Reset();
        unlog_.BindInteger(1, site);
        if (!unlog_.Run())
            return false;
        if (!texts || site <= 0) {
            drop_.Reset();
            drop_.BindInteger(1, site);
            return drop_.Run();
        }
        if (version > kLastVersion)
            return false; // never in practice; the caller starts afresh
        ++*live;
        insert_.BindInteger(1, (site << kVersionBits) | version);
        insert_.BindText(2, IndexBody(*texts));
        doc_.BindInteger(1, site);
        doc_.BindInteger(2, version);
        return insert_.Run() && doc_.Run();
    }

    bool Index(qint64 site, qint64* live, qint64* dead) {
        SiteTexts texts;
        bool found = false;
        return reader_.Read(site, &texts, &found, nullptr) &&
               Index(site, found ? &texts : nullptr, live, dead);
    }

    SiteReader& Reader() { return reader_; }

private:
    sqlite3* db_;
    SiteReader reader_;
    Sqlite::Statement version_, insert_, doc_, drop_, unlog_;
};

// Builds the next sites of an index being built, or takes in the next logged changes.
bool Advance(sqlite3* db, const Meta& meta, bool* idle, QString* error) {
    SiteIndexer indexer(db);
    qint64 live = meta.live;
    qint64 dead = meta.dead;
    qint64 builtUpTo = meta.builtUpTo;
    bool complete = meta.complete;
    bool ok = true;
    if (!complete) {
        QList<SiteTexts> sites;
        ok = indexer.Reader().ReadAfter(builtUpTo, kSitesPerBuildStep, &sites, error);
        for (qsizetype i = 0; ok && i < sites.size(); ++i)
            ok = indexer.Index(sites[i].site, &sites[i], &live, &dead);
        if (ok) {
            // Changes logged for sites this step has just read are in the index now.
            Sqlite::Statement unlog(db, "DELETE FROM main.FindLog WHERE Site > ? AND Site <= ?");
            unlog.BindInteger(1, builtUpTo);
            complete = sites.size() < kSitesPerBuildStep;
            builtUpTo = complete ? std::numeric_limits<qint32>::max() : sites.last().site;
            unlog.BindInteger(2, builtUpTo);
            ok = unlog.Run();
        }
    } else {
        QList<qint64> changed;
        ok = ChangedSites(db, -std::numeric_limits<qint64>::max(), &changed, error);
        changed = changed.mid(0, kSitesPerStep);
        *idle = ok && changed.isEmpty();
        for (qsizetype i = 0; ok && i < changed.size(); ++i)
            ok = indexer.Index(changed[i], &live, &dead);
        if (ok && *idle)
            return true;
    }
    Sqlite::Statement meta2(db, "UPDATE find.FindMeta SET Generation = Generation + 1,"
                                " BuiltUpTo = ?, Complete = ?, Live = ?, Dead = ?");
    meta2.BindInteger(1, builtUpTo);
    meta2.BindInteger(2, complete ? 1 : 0);
    meta2.BindInteger(3, live);
    meta2.BindInteger(4, dead);
    ok = ok && meta2.Run() &&
         Sqlite::Exec(db, "UPDATE main.FindState SET Generation = Generation + 1", error);
    if (!ok && error && error->isEmpty())
        *error = Sqlite::LastError(db);
    return ok;
}

// Whether there is nothing to do, found without taking the write lock that other copies
// and tools would have to wait for.
bool NothingToDo(sqlite3* db) {
    Sqlite::Transaction reading(db);
    if (!reading.Begin(nullptr))
        return false;
    const Meta meta = ReadMeta(db);
    Sqlite::Statement logged(db, "SELECT EXISTS (SELECT 1 FROM main.FindLog)");
    return meta.matches && meta.complete && meta.dead <= meta.live + kSitesPerStep &&
           logged.IsValid() && logged.Next() && logged.Integer(0) == 0;
}

} // namespace

// Whether the index reads through without a fault. An index never built is sound.
bool IndexSound(sqlite3* db) {
    Sqlite::Statement built(db, "SELECT 1 FROM find.sqlite_schema WHERE name = 'FindGrams'");
    if (!built.IsValid() || built.Failed())
        return false;
    if (!built.Next())
        return !built.Failed();
    Sqlite::Statement pages(db, "PRAGMA find.quick_check");
    return pages.Next() && pages.View(0) == "ok" &&
           Sqlite::Exec(db, "INSERT INTO find.FindGrams (FindGrams) VALUES ('integrity-check')",
                        nullptr);
}

Progress BuildStep(sqlite3* db, QString* error, int* code) {
    if (NothingToDo(db))
        return Progress::Idle;
    Sqlite::Transaction transaction(db);
    // Taken before the transaction rolls back, which forgets it.
    const auto failed = [&] {
        if (code)
            *code = Sqlite::LastCode(db);
        return Progress::Failed;
    };
    if (!transaction.Begin(error, "BEGIN IMMEDIATE") || !Sqlite::Exec(db, kTracking, error))
        return failed();
    const Meta meta = ReadMeta(db);
    bool idle = false;
    if (!meta.matches || meta.dead > meta.live + kSitesPerStep) {
        if (!StartAfresh(db, error))
            return failed();
    } else if (!Advance(db, meta, &idle, error)) {
        return failed();
    }
    if (!transaction.Commit(error))
        return failed();
    return idle ? Progress::Idle : Progress::Worked;
}

Progress KeepCurrent(sqlite3* db, const QString& catalogue, bool check,
                     const std::atomic<bool>* stop, QString* error) {
    bool removed = false;
    if (check && Prepare(db, catalogue, true, nullptr) && !IndexSound(db)) {
        RemoveIndex(db, catalogue);
        removed = true;
    }
    Progress progress = Progress::Worked;
    while (progress != Progress::Idle && !(stop && stop->load())) {
        const bool attached = Prepare(db, catalogue, true, error);
        int code = SQLITE_OK;
        progress = attached ? BuildStep(db, error, &code) : Progress::Failed;
        if (progress != Progress::Failed)
            continue;
        const bool damaged =
            !attached || (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB;
        if (!damaged || removed)
            return Progress::Failed;
        RemoveIndex(db, catalogue);
        removed = true;
    }
    return progress;
}

void RemoveIndex(sqlite3* db, const QString& catalogue) {
    Sqlite::Exec(db, "DETACH DATABASE find", nullptr);
    const QString path = IndexPath(catalogue);
    QFile::remove(path + QStringLiteral("-journal"));
    QFile::remove(path);
}

} // namespace Find

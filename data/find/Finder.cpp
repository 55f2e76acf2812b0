#include "Finder.h"

#include "FindIndex.h"
#include "Sqlite.h"

#include <algorithm>
#include <limits>

namespace Find {

namespace {

// Index hits per page: enough for the first screen of results at once.
constexpr int kHitsPerPage = 200;
constexpr int kFewestHits = 32;
// Sites read per page without the index.
constexpr int kSitesPerScan = 250;

} // namespace

Finder::Finder(sqlite3* db, const QString& query)
    : db_(db), words_(SplitWords(query)), reader_(db) {
    atEnd_ = words_.isEmpty();
}

bool Finder::Next(int wanted, QList<Result>* results, QString* error) {
    const qsizetype target = results->size() + wanted;
    while (!atEnd_ && results->size() < target && !(stop_ && stop_())) {
        Sqlite::Transaction reading(db_);
        if (!reading.Begin(error))
            return false;
        QList<qint64> candidates;
        const bool indexed = !indexFailed_ && IndexUsable(db_);
        // Fewer hits per page when fewer results are wanted, so that a first screenful
        // comes before a whole page is checked.
        const int hits = static_cast<int>(
            std::clamp<qsizetype>(target - results->size(), kFewestHits, kHitsPerPage));
        if (indexed && IndexPage(hits, &candidates, nullptr)) {
            if (!Check(candidates, results, error))
                return false;
        } else {
            indexFailed_ = indexFailed_ || indexed;
            if (!ScanPage(results, error))
                return false;
        }
    }
    return true;
}

bool Finder::IndexPage(int limit, QList<qint64>* candidates, QString* error) {
    QList<qint64> changed;
    QList<qint64> hits;
    bool exhausted = false;
    if (!ChangedSites(db_, after_, &changed, error) ||
        !IndexCandidates(db_, words_, after_, limit, &hits, &exhausted, error))
        return false;
    // The index speaks for the sites up to its last hit; a changed site is read instead.
    const qint64 upTo = exhausted ? std::numeric_limits<qint64>::max() : hits.last();
    for (const qint64 site : hits) {
        if (!std::binary_search(changed.cbegin(), changed.cend(), site))
            candidates->append(site);
    }
    for (const qint64 site : changed) {
        if (site <= upTo)
            candidates->append(site);
    }
    std::sort(candidates->begin(), candidates->end());
    after_ = upTo;
    atEnd_ = exhausted;
    return true;
}

bool Finder::ScanPage(QList<Result>* results, QString* error) {
    scanned_ = true;
    QList<SiteTexts> sites;
    if (!reader_.ReadAfter(after_, kSitesPerScan, &sites, error))
        return false;
    for (const SiteTexts& texts : sites) {
        if (std::optional<Result> result = Match(texts, words_))
            results->append(std::move(*result));
    }
    atEnd_ = sites.size() < kSitesPerScan;
    if (!sites.isEmpty())
        after_ = sites.last().site;
    return true;
}

bool Finder::Check(const QList<qint64>& candidates, QList<Result>* results, QString* error) {
    for (const qint64 site : candidates) {
        SiteTexts texts;
        bool found = false;
        if (!reader_.Read(site, &texts, &found, error))
            return false;
        if (!found)
            continue;
        if (std::optional<Result> result = Match(texts, words_))
            results->append(std::move(*result));
    }
    return true;
}

} // namespace Find

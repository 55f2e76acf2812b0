#pragma once

#include "FindText.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

struct sqlite3;

namespace Find {

// One find on one connection (made ready by Prepare), page by page in the order of the
// sites' numbers, so that the first results come at once and a caller may stop at any
// page. Each page is read in a transaction of its own and sees the catalogue as it is
// then: the index gives the sites that may match, the sites changed since the index last
// caught up are read instead of their indexed text, and every site is checked against
// its stored texts before it is a result. Without a usable index the page reads the
// sites one after the other.
class Finder {
public:
    Finder(sqlite3* db, const QString& query);

    // Asked between pages: when it says yes, Next returns with what it has found so far.
    void SetStop(std::function<bool()> stop) { stop_ = std::move(stop); }

    // Appends the next results; at least `wanted` of them unless the end comes first.
    bool Next(int wanted, QList<Result>* results, QString* error);
    bool AtEnd() const { return atEnd_; }
    // Whether a page had to read every site, which takes long on a large catalogue.
    bool Scanned() const { return scanned_; }
    // Whether the index could not be read: it is damaged and wants building again.
    bool IndexFailed() const { return indexFailed_; }

private:
    bool IndexPage(int limit, QList<qint64>* candidates, QString* error);
    bool ScanPage(QList<Result>* results, QString* error);
    bool Check(const QList<qint64>& candidates, QList<Result>* results, QString* error);

    sqlite3* db_;
    QList<QByteArray> words_;
    SiteReader reader_;
    std::function<bool()> stop_;
    qint64 after_ = 0;
    bool atEnd_ = false;
    bool scanned_ = false;
    bool indexFailed_ = false;
};

} // namespace Find

#pragma once

#include <QString>

#include <cstddef>
#include <vector>

class Connection;
class Dialogs;
class PendingParagraphs;
class Query;
class WriteAction;

// How the site editor stores a site and its paragraphs while other copies run on the same
// file. "确定" writes only the columns the user changed, each only over the value the
// editor read, so a change another copy stored meanwhile in another column stays; a site
// deleted meanwhile is never stored again under its old key, nor given a paragraph. The
// paragraphs written for a site not stored yet are this copy's (see PendingParagraphs).
class SiteStore {
public:
    enum class Outcome { Stored, ChangedElsewhere, Gone, Failed };

    // A Web column, the text the editor read from it, and the text to store.
    struct Column {
        QString name;
        QString read;
        QString text;
    };
    // A column another copy changed too, by its place among those asked to be stored,
    // and what that copy stored.
    struct Conflict {
        std::size_t column;
        QString stored;
    };

    // `scratch` and `second` are queries borrowed for the statements of a change.
    SiteStore(Connection& connection, Query& scratch, Query& second, PendingParagraphs& pending)
        : connection_(connection), scratch_(scratch), second_(second), pending_(pending) {}

    // Writes `changed` to site `webIndex` if the file still holds what was read in each of
    // them. ChangedElsewhere puts the columns another copy changed too in `*conflicts`
    // and writes nothing, leaving the file unlocked for the question; storing again
    // with their stored texts as read overwrites them. Gone: the site was deleted
    // meanwhile. Failed: the failure has been shown through `dialogs`.
    Outcome Store(qint64 webIndex, const std::vector<Column>& changed, Dialogs& dialogs,
                  std::vector<Conflict>* conflicts);

    // Stores `columns` as a new site, and with `takeParagraphs` hands it this copy's
    // pending paragraphs, in one change. False after showing the failure.
    bool StoreNew(const std::vector<Column>& columns, bool takeParagraphs, Dialogs& dialogs,
                  qint64* webIndex);

    // Adds a paragraph to site `webIndex`, checking in the same change that the site
    // still exists; with 0, to the new site being edited, as this copy's. Stored, Gone
    // or Failed.
    Outcome AddParagraph(qint64 webIndex, const QString& text, Dialogs& dialogs);

    // Pending paragraphs left behind by an ended run go to the new-site editor that lists
    // them first, and become this copy's so that another copy's closing cannot delete
    // them from under it. False after showing the failure.
    bool ClaimLeftBehind(Dialogs& dialogs);
    // Removes this copy's pending paragraphs and those left behind by ended runs; another
    // running copy's stay. Most closings find none, and then leave the file unlocked.
    void DropPending(Dialogs& dialogs);

private:
    bool TakeParagraphs(qint64 webIndex, WriteAction& action);

    Connection& connection_;
    Query& scratch_;
    Query& second_;
    PendingParagraphs& pending_;
};

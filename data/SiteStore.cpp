#include "SiteStore.h"

#include "PendingParagraphs.h"
#include "PublicFunction.h"
#include "Query.h"

namespace {
const QString kPending = QStringLiteral("Select * From Content Where ContentWeb = 0");
const QString kContentIndex = QStringLiteral("ContentIndex");

QString SiteStatement(qint64 webIndex) {
    return QStringLiteral("Select * From Web Where WebIndex = ") + QString::number(webIndex);
}
} // namespace

SiteStore::Outcome SiteStore::Store(qint64 webIndex, const std::vector<Column>& changed,
                                    Dialogs& dialogs, std::vector<Conflict>* conflicts) {
    // The comparison and the store are one change, so no other copy stores in between.
    WriteAction action(connection_, dialogs);
    if (!action.Begin())
        return Outcome::Failed;
    if (!OpenQuery(scratch_, SiteStatement(webIndex), kOpenFailure, action.Messages()))
        return Outcome::Failed;
    if (scratch_.RecordCount() == 0)
        return Outcome::Gone;
    scratch_.First();
    conflicts->clear();
    for (std::size_t i = 0; i < changed.size(); ++i) {
        const QString stored = scratch_.AsString(changed[i].name);
        if (stored != changed[i].read)
            conflicts->push_back({i, stored});
    }
    if (!conflicts->empty())
        return Outcome::ChangedElsewhere;
    scratch_.Edit();
    for (const Column& column : changed)
        scratch_.SetField(column.name, column.text);
    if (!action.Post(scratch_))
        return Outcome::Failed;
    return action.Commit() ? Outcome::Stored : Outcome::Failed;
}

bool SiteStore::StoreNew(const std::vector<Column>& columns, bool takeParagraphs, Dialogs& dialogs,
                         qint64* webIndex) {
    // The new record and the hand-over of its paragraphs are one change: were the
    // hand-over to fail after the record was stored, the editor would stay open on a
    // site that already exists, and a second OK would store it twice.
    WriteAction action(connection_, dialogs);
    if (!action.Begin())
        return false;
    scratch_.SkipRowsOnNextOpen();
    if (!OpenQuery(scratch_, QStringLiteral("Select * From Web"), kOpenFailure, action.Messages()))
        return false;
    scratch_.Append();
    for (const Column& column : columns)
        scratch_.SetField(column.name, column.text);
    if (!action.Post(scratch_))
        return false;
    const qint64 stored = scratch_.AsInteger(QStringLiteral("WebIndex"));
    if (takeParagraphs && !TakeParagraphs(stored, action))
        return false;
    if (!action.Commit())
        return false;
    *webIndex = stored;
    return true;
}

// Hands this copy's pending paragraphs, those the user saw listed, to the new site.
bool SiteStore::TakeParagraphs(qint64 webIndex, WriteAction& action) {
    if (!OpenQuery(second_, kPending + pending_.MineClause(), kOpenFailure, action.Messages()))
        return false;
    for (second_.First(); !second_.Eof(); second_.Next()) {
        second_.Edit();
        second_.SetField(QStringLiteral("ContentWeb"), webIndex);
        if (!action.Post(second_))
            return false;
    }
    pending_.Tidy();
    return true;
}

SiteStore::Outcome SiteStore::AddParagraph(qint64 webIndex, const QString& text, Dialogs& dialogs) {
    WriteAction action(connection_, dialogs);
    if (!action.Begin())
        return Outcome::Failed;
    if (webIndex != 0) {
        if (!OpenQuery(second_, SiteStatement(webIndex), kOpenFailure, action.Messages()))
            return Outcome::Failed;
        if (second_.RecordCount() == 0)
            return Outcome::Gone;
    }
    scratch_.SkipRowsOnNextOpen();
    if (!OpenQuery(scratch_, QStringLiteral("Select * From Content"), kOpenFailure,
                   action.Messages()))
        return Outcome::Failed;
    scratch_.Append();
    scratch_.SetField(QStringLiteral("ContentWeb"), webIndex);
    scratch_.SetField(QStringLiteral("ContentTxt"), text);
    if (!action.Post(scratch_))
        return Outcome::Failed;
    QString error;
    if (webIndex == 0 && !pending_.Own(scratch_.AsInteger(kContentIndex), &error)) {
        action.Messages().ErrorReport(error);
        return Outcome::Failed;
    }
    return action.Commit() ? Outcome::Stored : Outcome::Failed;
}

bool SiteStore::ClaimLeftBehind(Dialogs& dialogs) {
    if (!OpenQuery(scratch_, kPending + pending_.LeftBehindClause(), kOpenFailure, dialogs))
        return false;
    if (scratch_.RecordCount() == 0)
        return true;
    WriteAction action(connection_, dialogs);
    QString error;
    if (!action.Begin())
        return false;
    if (!pending_.ClaimLeftBehind(&error)) {
        action.Messages().ErrorReport(error);
        return false;
    }
    return action.Commit();
}

void SiteStore::DropPending(Dialogs& dialogs) {
    if (!OpenQuery(scratch_, kPending + pending_.NotOthersClause(), kOpenFailure, dialogs) ||
        scratch_.RecordCount() == 0)
        return;
    WriteAction action(connection_, dialogs);
    if (!action.Begin())
        return;
    QString error;
    if (!pending_.ClaimLeftBehind(&error)) {
        action.Messages().ErrorReport(error);
        return;
    }
    if (!OpenQuery(scratch_, kPending + pending_.MineClause(), kOpenFailure, action.Messages()))
        return;
    for (scratch_.First(); !scratch_.Eof(); scratch_.First()) {
        // A refused delete would leave the row first for ever.
        if (!scratch_.Delete(&error)) {
            action.Messages().ErrorReport(error);
            return;
        }
    }
    pending_.Tidy();
    action.Commit();
}

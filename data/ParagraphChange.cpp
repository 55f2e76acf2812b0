#include "ParagraphChange.h"

#include "PublicFunction.h"
#include "Query.h"

namespace {
const QString kContentTxt = QStringLiteral("ContentTxt");
}

ParagraphChange::Outcome ParagraphChange::Store(const QString& expected, const QString& text,
                                                Dialogs& dialogs, QString* stored) {
    const qint64 id = paragraphs_.AsInteger(QStringLiteral("ContentIndex"));
    // The comparison and the store are one change, so no other copy stores in between.
    WriteAction action(connection_, dialogs);
    if (!action.Begin())
        return Outcome::Failed;
    if (!OpenQuery(scratch_,
                   QStringLiteral("Select * From Content Where ContentIndex = ") +
                       QString::number(id),
                   kOpenFailure, action.Messages()))
        return Outcome::Failed;
    if (scratch_.RecordCount() == 0)
        return Outcome::Gone;
    scratch_.First();
    const QString now = scratch_.AsString(kContentTxt);
    if (now != expected && now != text) {
        if (stored)
            *stored = now;
        return Outcome::ChangedElsewhere;
    }
    paragraphs_.Edit();
    paragraphs_.SetField(kContentTxt, text);
    if (!action.Post(paragraphs_))
        return Outcome::Failed;
    return action.Commit() ? Outcome::Stored : Outcome::Failed;
}

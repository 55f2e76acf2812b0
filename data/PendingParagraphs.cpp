#include "PendingParagraphs.h"

#include "Connection.h"
#include "Sqlite.h"

#include <QFileInfo>
#include <QStringList>

// Directly: whether the table is there is SQLite's column metadata.
#include <sqlite3.h>

namespace {

const char* const kCreate = "CREATE TABLE IF NOT EXISTS ContentOwner ("
                            "ContentIndex INTEGER PRIMARY KEY, OwnerCopy INTEGER NOT NULL)";

QString OwnedBy(const QString& condition) {
    return QStringLiteral("(Select ContentIndex From ContentOwner Where OwnerCopy ") + condition +
           QLatin1Char(')');
}

} // namespace

sqlite3* PendingParagraphs::Handle() {
    return connection_.Open(nullptr) ? connection_.Handle() : nullptr;
}

int PendingParagraphs::Id() {
    return lock_.Acquire(CopyLock::PathFor(connection_.FileName()));
}

bool PendingParagraphs::HasTable() {
    sqlite3* db = Handle();
    return db && sqlite3_table_column_metadata(db, "main", "ContentOwner", "OwnerCopy", nullptr,
                                               nullptr, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool PendingParagraphs::CreateTable(QString* error) {
    return Sqlite::Exec(Handle(), kCreate, error);
}

std::optional<QList<int>> PendingParagraphs::OthersRunning() {
    sqlite3* db = Handle();
    if (!db)
        return std::nullopt;
    Sqlite::Statement owners(db, "SELECT DISTINCT OwnerCopy FROM ContentOwner");
    const int me = Id();
    QList<int> running;
    while (owners.Next()) {
        const int copy = int(owners.Integer(0));
        if (copy != me && lock_.Running(copy))
            running << copy;
    }
    if (owners.Failed())
        return std::nullopt;
    return running;
}

QString PendingParagraphs::MineClause() {
    // Until the side table exists, no paragraph is any copy's.
    if (!HasTable())
        return QStringLiteral(" And 0");
    return QStringLiteral(" And ContentIndex In ") +
           OwnedBy(QStringLiteral("= ") + QString::number(Id()));
}

QString PendingParagraphs::NotOthersClause() {
    if (!HasTable())
        return QString();
    const int me = Id();
    const std::optional<QList<int>> others = OthersRunning();
    // Unable to tell which copies run, count every other owner as running.
    if (!others)
        return QStringLiteral(" And ContentIndex Not In ") +
               OwnedBy(QStringLiteral("<> ") + QString::number(me));
    if (others->isEmpty())
        return QString();
    QStringList ids;
    for (int copy : *others)
        ids << QString::number(copy);
    return QStringLiteral(" And ContentIndex Not In ") +
           OwnedBy(QStringLiteral("In (") + ids.join(QLatin1Char(',')) + QLatin1Char(')'));
}

QString PendingParagraphs::LeftBehindClause() {
    if (!HasTable())
        return QString();
    return NotOthersClause() + QStringLiteral(" And ContentIndex Not In ") +
           OwnedBy(QStringLiteral("= ") + QString::number(Id()));
}

bool PendingParagraphs::Own(qint64 contentIndex, QString* error) {
    return CreateTable(error) &&
           Sqlite::Exec(
               Handle(),
               QStringLiteral("INSERT OR REPLACE INTO ContentOwner (ContentIndex, OwnerCopy) "
                              "VALUES (%1, %2)")
                   .arg(contentIndex)
                   .arg(Id()),
               error);
}

bool PendingParagraphs::ClaimLeftBehind(QString* error) {
    if (!CreateTable(error))
        return false;
    return Sqlite::Exec(
        Handle(),
        QStringLiteral("INSERT OR REPLACE INTO ContentOwner (ContentIndex, OwnerCopy) "
                       "Select ContentIndex, %1 From Content Where ContentWeb = 0")
                .arg(Id()) +
            LeftBehindClause(),
        error);
}

void PendingParagraphs::Tidy() {
    if (HasTable())
        Sqlite::Exec(Handle(),
                     QStringLiteral("DELETE FROM ContentOwner WHERE ContentIndex NOT IN "
                                    "(SELECT ContentIndex FROM Content WHERE ContentWeb = 0)"),
                     nullptr);
}

#pragma once

#include "Connection.h"
#include "Query.h"

class Dialogs;

// The single connection and the two scratch queries that any window borrows for one
// action at a time.
class TShareDataModule {
public:
    explicit TShareDataModule(Dialogs& dialogs);

    // Puts a window's own query on the shared connection.
    void Bind(Query& query) { query.SetConnection(&ADOConnection1); }

    Dialogs& Messages() const { return dialogs_; }

    Connection ADOConnection1{QStringLiteral("Sitemora.mdb")};
    Query ADOQueryTemp;
    Query ADOQueryTemp2;

private:
    Dialogs& dialogs_;
};

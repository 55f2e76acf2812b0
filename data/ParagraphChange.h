#pragma once

#include <QString>

class Connection;
class Dialogs;
class Query;

// "修改" of the paragraph current in the editor's list, made safe against another running
// copy that changed or deleted the same paragraph since the list was read: the text is
// stored only over the text the user saw, and a paragraph that is gone is not stored again.
class ParagraphChange {
public:
    enum class Outcome { Stored, ChangedElsewhere, Gone, Failed };

    // `paragraphs` is the editor's list; `scratch` a query borrowed to read the paragraph
    // as the file holds it.
    ParagraphChange(Connection& connection, Query& paragraphs, Query& scratch)
        : connection_(connection), paragraphs_(paragraphs), scratch_(scratch) {}

    // Stores `text` if the file still holds `expected` (or already holds `text`), and
    // mirrors it in the list. ChangedElsewhere puts the file's text in `*stored` and writes
    // nothing, leaving the file unlocked for the question; storing again with that text as
    // `expected` replaces it. Failed: the failure has been shown through `dialogs`.
    Outcome Store(const QString& expected, const QString& text, Dialogs& dialogs, QString* stored);

private:
    Connection& connection_;
    Query& paragraphs_;
    Query& scratch_;
};

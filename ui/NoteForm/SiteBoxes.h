#pragma once

#include "SiteStore.h"

#include <QString>
#include <QStringList>

#include <vector>

class Query;
class QLineEdit;

// The editor's record boxes, each with its Web column and the name the user knows it by,
// and what each held when the site was read, so that OK can write only the boxes the user
// changed since, each over what was read.
class SiteBoxes {
public:
    struct Box {
        QLineEdit* edit;
        QString column;
        QString label;
    };

    explicit SiteBoxes(std::vector<Box> boxes);

    // Fills every box from the current row of `site`.
    void Fill(const Query& site);
    void Clear();

    // Boxes whose text differs from what the last Fill or Clear put there.
    std::vector<int> Changed() const;
    QStringList Labels(const std::vector<int>& boxes) const;

    // After the user chose, for a box another copy changed too: store the typed text over
    // the other copy's `stored` value, or take that value into the box and store nothing.
    void Overwrite(int box, const QString& stored);
    void KeepStored(int box, const QString& stored);

    // The columns of `boxes`, or of every box, with what was read and what is typed.
    std::vector<SiteStore::Column> Columns(const std::vector<int>& boxes) const;
    std::vector<SiteStore::Column> Columns() const;

private:
    std::vector<Box> boxes_;
    // What each column held when read, and what its box then showed (a text box may
    // not show a stored text exactly, say one with a line break).
    std::vector<QString> read_;
    std::vector<QString> shown_;
};

#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class Query;
class QLineEdit;

// The editor's record boxes, each with its Web column and the name the user knows it by,
// and what each held when the site was read. OK writes only the boxes the user changed
// since, and can tell when another running copy changed one of those columns meanwhile.
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
    // Of `boxes`, those whose column in the current row of `site` no longer holds what
    // the editor read.
    std::vector<int> ChangedElsewhere(const Query& site, const std::vector<int>& boxes) const;
    QStringList Labels(const std::vector<int>& boxes) const;

    // After the user chose, for a box another copy changed too: store the typed text over
    // the other copy's value, or take that value into the box and store nothing.
    void Overwrite(int box, const Query& site);
    void KeepStored(int box, const Query& site);

    void Write(Query& site, const std::vector<int>& boxes) const;
    void WriteAll(Query& site) const;

private:
    QString Stored(const Query& site, int box) const;

    std::vector<Box> boxes_;
    // What each column held when read, and what its box then showed (a text box may
    // not show a stored text exactly, say one with a line break).
    std::vector<QString> read_;
    std::vector<QString> shown_;
};

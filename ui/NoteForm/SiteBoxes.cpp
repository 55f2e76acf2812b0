#include "SiteBoxes.h"

#include "Query.h"

#include <QLineEdit>

SiteBoxes::SiteBoxes(std::vector<Box> boxes)
    : boxes_(std::move(boxes)), read_(boxes_.size()), shown_(boxes_.size()) {}

void SiteBoxes::Fill(const Query& site) {
    for (size_t i = 0; i < boxes_.size(); ++i) {
        read_[i] = site.AsString(boxes_[i].column);
        boxes_[i].edit->setText(read_[i]);
        boxes_[i].edit->setCursorPosition(0);
        shown_[i] = boxes_[i].edit->text();
    }
}

void SiteBoxes::Clear() {
    for (size_t i = 0; i < boxes_.size(); ++i) {
        boxes_[i].edit->clear();
        read_[i].clear();
        shown_[i].clear();
    }
}

std::vector<int> SiteBoxes::Changed() const {
    std::vector<int> changed;
    for (size_t i = 0; i < boxes_.size(); ++i)
        if (boxes_[i].edit->text() != shown_[i])
            changed.push_back(static_cast<int>(i));
    return changed;
}

QStringList SiteBoxes::Labels(const std::vector<int>& boxes) const {
    QStringList labels;
    for (int box : boxes)
        labels << boxes_[box].label;
    return labels;
}

void SiteBoxes::Overwrite(int box, const QString& stored) {
    read_[box] = stored;
}

void SiteBoxes::KeepStored(int box, const QString& stored) {
    read_[box] = stored;
    boxes_[box].edit->setText(stored);
    boxes_[box].edit->setCursorPosition(0);
    shown_[box] = boxes_[box].edit->text();
}

std::vector<SiteStore::Column> SiteBoxes::Columns(const std::vector<int>& boxes) const {
    std::vector<SiteStore::Column> columns;
    columns.reserve(boxes.size());
    for (int box : boxes)
        columns.push_back({boxes_[box].column, read_[box], boxes_[box].edit->text()});
    return columns;
}

std::vector<SiteStore::Column> SiteBoxes::Columns() const {
    std::vector<int> all(boxes_.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<int>(i);
    return Columns(all);
}

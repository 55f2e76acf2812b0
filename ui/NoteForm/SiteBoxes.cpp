#include "SiteBoxes.h"

#include "Query.h"

#include <QLineEdit>

SiteBoxes::SiteBoxes(std::vector<Box> boxes)
    : boxes_(std::move(boxes)), read_(boxes_.size()), shown_(boxes_.size()) {}

QString SiteBoxes::Stored(const Query& site, int box) const {
    return site.AsString(boxes_[box].column);
}

void SiteBoxes::Fill(const Query& site) {
    for (size_t i = 0; i < boxes_.size(); ++i) {
        read_[i] = Stored(site, static_cast<int>(i));
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

std::vector<int> SiteBoxes::ChangedElsewhere(const Query& site,
                                             const std::vector<int>& boxes) const {
    std::vector<int> changed;
    for (int box : boxes)
        if (Stored(site, box) != read_[box])
            changed.push_back(box);
    return changed;
}

QStringList SiteBoxes::Labels(const std::vector<int>& boxes) const {
    QStringList labels;
    for (int box : boxes)
        labels << boxes_[box].label;
    return labels;
}

void SiteBoxes::Overwrite(int box, const Query& site) {
    read_[box] = Stored(site, box);
}

void SiteBoxes::KeepStored(int box, const Query& site) {
    read_[box] = Stored(site, box);
    boxes_[box].edit->setText(read_[box]);
    boxes_[box].edit->setCursorPosition(0);
    shown_[box] = boxes_[box].edit->text();
}

void SiteBoxes::Write(Query& site, const std::vector<int>& boxes) const {
    for (int box : boxes)
        site.SetField(boxes_[box].column, boxes_[box].edit->text());
}

void SiteBoxes::WriteAll(Query& site) const {
    for (const Box& box : boxes_)
        site.SetField(box.column, box.edit->text());
}

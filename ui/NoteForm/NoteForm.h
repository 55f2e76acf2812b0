#pragma once

#include <QDialog>

class TShareDataModule;

// The modal editor of one site record and its paragraphs.
class TFormNote : public QDialog {
    Q_OBJECT
public:
    explicit TFormNote(TShareDataModule* dataModule, QWidget* parent = nullptr);

    // The WebIndex of the site being edited; 0 for a new site.
    int EditIndex = 0;

private:
    TShareDataModule* dataModule_;
};

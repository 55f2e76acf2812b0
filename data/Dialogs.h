#pragma once

#include <QString>

// Everything the program says to the user in a box goes through here, so that tests
// can record the texts and script the answers instead of blocking on a modal box.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // An information box: the text and one OK button.
    virtual void Information(const QString& text) = 0;
    // A confirmation box with Yes (the default) and No; true means Yes.
    virtual bool Confirm(const QString& text, const QString& title) = 0;
    // The error report: a failure's text with an error icon.
    virtual void ErrorReport(const QString& text) = 0;
};

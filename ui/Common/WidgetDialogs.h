#pragma once

#include "Dialogs.h"

// Application title for message boxes: the executable's file name cut at its first
// full stop, with every letter after the first in lower case.
QString MessageTitle();
QString MessageTitleFor(const QString& executableFileName);

// The real message boxes, modal to the application and centred on the screen.
class WidgetDialogs : public Dialogs {
public:
    void Information(const QString& text) override;
    bool Confirm(const QString& text, const QString& title) override;
    void ErrorReport(const QString& text) override;
};

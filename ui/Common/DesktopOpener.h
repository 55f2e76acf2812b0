#pragma once

#include <QString>
#include <QUrl>

// Hands an address to whatever the desktop has registered for it (for a web address,
// the default browser). An interface of its own so that tests can record the hand-off
// instead of starting a browser.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    // Returns at once; the text is passed exactly as the user typed it.
    virtual void Open(const QString& text) = 0;
};

// The address the desktop is asked to open for a typed text (Address::ForOpening). An
// empty (or blank) text gives an invalid URL.
QUrl DesktopUrlFor(const QString& text);

// The real hand-off, through the desktop services: no command interpreter ever sees the
// text, and nothing waits for the handler to finish.
class SystemDesktopOpener : public DesktopOpener {
public:
    void Open(const QString& text) override;
};

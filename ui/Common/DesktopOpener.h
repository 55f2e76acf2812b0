#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

// Hands an address to whatever the desktop has registered for it (for a web address,
// the default browser). An interface of its own so that tests can record the hand-off
// instead of starting a browser.
class DesktopOpener {
public:
    // Told, in words for the user, why nothing could open the address.
    using FailureReport = std::function<void(const QString& reason)>;

    virtual ~DesktopOpener() = default;
    // Returns at once; the text is passed exactly as the user typed it. `failed` is
    // called at once, or later once the desktop has answered, when the address could not
    // be opened.
    virtual void Open(const QString& text, FailureReport failed) = 0;
};

// The address the desktop is asked to open for a typed text (Address::ForOpening). An
// empty (or blank) text gives an invalid URL.
QUrl DesktopUrlFor(const QString& text);

// The real hand-off, through xdg-open run without a command interpreter, so no shell
// ever sees the text. Nothing waits for it; its exit status and what it wrote to
// standard error become the reason of a failure.
class SystemDesktopOpener : public DesktopOpener {
public:
    void Open(const QString& text, FailureReport failed) override;

private:
    // Owns the hand-offs still running.
    QObject running_;
};

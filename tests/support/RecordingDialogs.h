#pragma once

#include "Dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>

// Takes the place of the message boxes in tests: every text the user would have seen is
// kept in order, and confirmations are answered from a script instead of blocking.
class RecordingDialogs : public Dialogs {
public:
    struct Confirmation {
        QString text;
        QString title;
    };

    void Information(const QString& text) override {
        Showing();
        informations_ << text;
    }

    // Answers from the queue; once it runs dry the answer is No, so a test that forgot
    // to script an answer never deletes anything by accident.
    bool Confirm(const QString& text, const QString& title) override {
        Showing();
        confirmations_.append({text, title});
        return answers_.isEmpty() ? false : answers_.dequeue();
    }

    void ErrorReport(const QString& text) override {
        Showing();
        errors_ << text;
    }

    // Runs while each box is up, as the user would act meanwhile (in another copy, say).
    std::function<void()> whileShown;

    void QueueAnswers(std::initializer_list<bool> answers) {
        for (bool answer : answers)
            answers_.enqueue(answer);
    }
    void QueueYes() { answers_.enqueue(true); }
    void QueueNo() { answers_.enqueue(false); }
    int PendingAnswers() const { return static_cast<int>(answers_.size()); }

    const QStringList& Informations() const { return informations_; }
    const QList<Confirmation>& Confirmations() const { return confirmations_; }
    const QStringList& Errors() const { return errors_; }
    // Every box of any kind shown so far.
    int Shown() const {
        return static_cast<int>(informations_.size() + confirmations_.size() + errors_.size());
    }

    // Forgets what was shown; scripted answers not yet used stay queued.
    void Clear() {
        informations_.clear();
        confirmations_.clear();
        errors_.clear();
    }

private:
    void Showing() {
        if (whileShown)
            whileShown();
    }

    QStringList informations_;
    QList<Confirmation> confirmations_;
    QStringList errors_;
    QQueue<bool> answers_;
};

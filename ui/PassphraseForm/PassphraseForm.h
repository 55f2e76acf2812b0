#pragma once

#include "Cipher.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// Asks for the passphrase of an encrypted catalogue before the list opens: a password box,
// "确定" and "取消", in the style of the search dialog.
class TFormPassphrase : public QDialog {
    Q_OBJECT

public:
    explicit TFormPassphrase(QWidget* parent = nullptr);

    // Shows the dialog for `file`, saying first that the last passphrase was wrong when
    // `wrong`. True with the passphrase in `*passphrase` on "确定"; the box is emptied and
    // its text overwritten either way.
    bool Ask(const QString& file, bool wrong, Cipher::Secret* passphrase);

    QString Prompt() const;
    QLineEdit* Edit() const { return edit_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

private:
    QLabel* label_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

// The dialog as a source of passphrases, over `parent`. Only the thread of the windows asks;
// an open on another thread without the key fails.
Cipher::PassphraseSource PassphraseDialog(QWidget* parent);

#include "PassphraseForm.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

TFormPassphrase::TFormPassphrase(QWidget* parent)
    : QDialog(parent), label_(new QLabel(this)), edit_(new QLineEdit(this)),
      ok_(new QPushButton(QStringLiteral("确定"), this)),
      cancel_(new QPushButton(QStringLiteral("取消"), this)) {
    setWindowTitle(QStringLiteral("输入密码"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    label_->setWordWrap(true);
    label_->setBuddy(edit_);
    edit_->setEchoMode(QLineEdit::Password);
    edit_->setAccessibleName(QStringLiteral("密码"));
    ok_->setDefault(true);
    ok_->setAccessibleName(QStringLiteral("确定"));
    cancel_->setAccessibleName(QStringLiteral("取消"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
    layout->addWidget(edit_);
    layout->addLayout(buttons);
    setFixedWidth(320);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QString TFormPassphrase::Prompt() const {
    return label_->text();
}

bool TFormPassphrase::Ask(const QString& file, bool wrong, Cipher::Secret* passphrase) {
    const QString name = QFileInfo(file).fileName();
    label_->setText(wrong ? QStringLiteral("密码错误，请重新输入 %1 的密码：").arg(name)
                          : QStringLiteral("%1 已加密，请输入密码：").arg(name));
    edit_->clear();
    edit_->setFocus();
    const bool accepted = exec() == QDialog::Accepted;
    QString text = edit_->text();
    edit_->clear();
    Cipher::Secret typed = Cipher::FromText(&text);
    if (accepted)
        *passphrase = std::move(typed);
    return accepted;
}

Cipher::PassphraseSource PassphraseDialog(QWidget* parent) {
    QPointer<QWidget> over(parent);
    return [over](const QString& path, Cipher::Ask ask, Cipher::Secret* passphrase) {
        if (QThread::currentThread() != qApp->thread())
            return false;
        TFormPassphrase dialog(over.data());
        return dialog.Ask(path, ask == Cipher::Ask::Wrong, passphrase);
    };
}

#include "WidgetDialogs.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>
#include <QScreen>

QString MessageTitleFor(const QString& executableFileName) {
    const QString stem = executableFileName.section(QLatin1Char('.'), 0, 0);
    if (stem.isEmpty())
        return {};
    return stem.left(1) + stem.mid(1).toLower();
}

QString MessageTitle() {
    return MessageTitleFor(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

namespace {

int Run(QMessageBox& box) {
    // Message boxes speak in the desktop's own font, not the windows' 宋体.
    box.setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    box.setWindowModality(Qt::ApplicationModal);
    box.adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        box.move(screen->availableGeometry().center() - box.rect().center());
    return box.exec();
}

} // namespace

void WidgetDialogs::Information(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, MessageTitle(), text, QMessageBox::Ok);
    Run(box);
}

bool WidgetDialogs::Confirm(const QString& text, const QString& title) {
    // No owner window, as the confirmations have always been.
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return Run(box) == QMessageBox::Yes;
}

void WidgetDialogs::ErrorReport(const QString& text) {
    QMessageBox box(QMessageBox::Critical, MessageTitle(), text, QMessageBox::Ok);
    Run(box);
}

#include "Appearance.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

QFont WindowFont() {
    QFont font;
    // Asked for by name: what fontconfig substitutes for "SimSun" alone depends on the
    // locale and is often a sans face.
    // Emoji in names and paragraphs in colour where that font is installed, else in black
    // and white rather than as blanks; fontconfig's own choice varies from widget to widget.
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                      QStringLiteral("AR PL SungtiL GB"), QStringLiteral("AR PL UMing CN"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Color Emoji"),
                      QStringLiteral("Symbola")});
    font.setPixelSize(12);
    return font;
}

void ApplyAppearance(QApplication& app) {
    QApplication::setFont(WindowFont());
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
}

#include "support/ProgramWindows.h"
#include "support/TempCatalogue.h"
#include "tst_noteform_harness.h"

#include <QAccessible>
#include <QHash>
#include <QLabel>
#include <QSet>

namespace {

QString Name(QObject* object) {
    return QAccessible::queryAccessibleInterface(object)->text(QAccessible::Name);
}

// Every visible box, button and picture of a window as a screen reader finds it. The
// rows and cells of a list are its data, so the walk stops at the list.
void Controls(QAccessibleInterface* node, QList<QAccessibleInterface*>& out) {
    static const QList<QAccessible::Role> kControls{
        QAccessible::EditableText, QAccessible::Table,    QAccessible::List,
        QAccessible::Button,       QAccessible::CheckBox, QAccessible::ComboBox,
        QAccessible::SpinBox,      QAccessible::Graphic};
    if (!node || node->state().invisible)
        return;
    if (kControls.contains(node->role()))
        out << node;
    for (int i = 0; i < node->childCount() && node->role() != QAccessible::Table; ++i)
        Controls(node->child(i), out);
}

bool Related(QObject* from, QObject* to, QAccessible::Relation relation) {
    for (const auto& [other, kind] : QAccessible::queryAccessibleInterface(from)->relations())
        if (other->object() == to && kind == relation)
            return true;
    return false;
}

// The three windows as start-up makes them, all shown.
// Entered first, so that the windows open the catalogue it holds.
struct EnteredCatalogue {
    TempCatalogue catalogue;
    bool entered = catalogue.EnterDir();
};

struct Windows : EnteredCatalogue, ProgramWindows {
    Windows() {
        for (QWidget* window : All())
            window->show();
    }
    QList<QWidget*> All() { return {&main, &note, &search}; }
};

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void everyControlHasItsOwnName();
    void labelsNameTheirBoxes();
    void openButtonsNameTheBoxTheyOpen();
};

void TestAccessibility::everyControlHasItsOwnName() {
    Windows w;
    QVERIFY(w.entered);
    for (QWidget* window : w.All()) {
        QList<QAccessibleInterface*> controls;
        Controls(QAccessible::queryAccessibleInterface(window), controls);
        QHash<QString, int> uses;
        for (const QAccessibleInterface* control : controls)
            ++uses[control->text(QAccessible::Name)];
        QSet<QString> toldApart;
        for (const QAccessibleInterface* control : controls) {
            const QString name = control->text(QAccessible::Name);
            const QString description = control->text(QAccessible::Description);
            const QString what = window->objectName() + "/" + control->object()->objectName();
            QVERIFY2(!name.trimmed().isEmpty() && !name.endsWith(u'：'), qPrintable(what));
            // A name several controls share needs a description that tells them apart.
            QVERIFY2(uses[name] == 1 || !description.isEmpty(), qPrintable(what + " " + name));
            const QString heard = name + u'\n' + description;
            QVERIFY2(!toldApart.contains(heard), qPrintable(what + " " + name));
            toldApart.insert(heard);
        }
    }
    // Focus goes to the lists' views, so the views carry the names.
    QCOMPARE(Name(w.main.DBGridEh1->View()), QStringLiteral("网站列表"));
    QCOMPARE(Name(w.note.DBGridEh1->View()), QStringLiteral("段落列表"));
}

void TestAccessibility::labelsNameTheirBoxes() {
    Windows w;
    QVERIFY(w.entered);
    for (QWidget* window : {static_cast<QWidget*>(&w.note), static_cast<QWidget*>(&w.search)}) {
        for (QLabel* label : window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
            QWidget* box = label->buddy();
            QVERIFY2(box, qPrintable(label->text()));
            QVERIFY(Related(label, box, QAccessible::Labelled));
            QVERIFY(Related(box, label, QAccessible::Label));
            // A box is named by its label without the colon; where several boxes
            // share a label text, each adds its number to the label's last word.
            const QString text = label->text().chopped(1);
            const QString name = Name(box);
            QVERIFY2(name == text ||
                         (name.contains(u' ') && text.endsWith(name.section(u' ', 0, -2))),
                     qPrintable(text + " -> " + name));
        }
    }
    QCOMPARE(Name(w.note.Memo1), QStringLiteral("内容编辑"));
    for (int n = 1; n <= 3; ++n) {
        const QString number = QString::number(n);
        QCOMPARE(Name(w.note.findChild<QLineEdit*>("User" + number)), "帐号 " + number);
        QCOMPARE(Name(w.note.findChild<QLineEdit*>("Key" + number)), "密码 " + number);
    }
}

void TestAccessibility::openButtonsNameTheBoxTheyOpen() {
    Windows w;
    QVERIFY(w.entered);
    // Each box holds its own object name, so what reaches the desktop tells which box
    // a button took its address from.
    for (QLineEdit* box : w.note.findChildren<QLineEdit*>())
        box->setText(box->objectName());
    QList<QPushButton*> buttons;
    for (QPushButton* button : w.note.findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("Open"))
            buttons << button;
    QCOMPARE(buttons.size(), 9);
    for (QPushButton* button : buttons) {
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(w.opener.Opened().size(), buttons.indexOf(button) + 1);
        QLineEdit* box = w.note.findChild<QLineEdit*>(w.opener.Opened().last());
        QVERIFY(box && !Name(box).isEmpty());
        QAccessibleInterface* control = QAccessible::queryAccessibleInterface(button);
        QCOMPARE(control->text(QAccessible::Name), QStringLiteral("Open"));
        QCOMPARE(control->text(QAccessible::Description), Name(box));
    }
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"

#include "FindForm.h"

#include "FindWorker.h"
#include "ui_FindForm.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QShowEvent>
#include <QStyledItemDelegate>

namespace {

constexpr int kSiteRole = Qt::UserRole;
constexpr int kMatchAtRole = Qt::UserRole + 1;
constexpr int kMatchLengthRole = Qt::UserRole + 2;
constexpr int kExcerptColumn = 2;

// Draws an excerpt with its match in bold on the highlight colour, so that the eye finds
// the word in the line at once.
class ExcerptDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        const QString text = plain.text;
        plain.text.clear();
        plain.widget->style()->drawControl(QStyle::CE_ItemViewItem, &plain, painter, plain.widget);
        const qsizetype at = index.data(kMatchAtRole).toLongLong();
        const qsizetype length = index.data(kMatchLengthRole).toLongLong();
        const QString pieces[] = {text.left(at), text.mid(at, length), text.mid(at + length)};
        QRect area = option.rect.adjusted(4, 0, -4, 0);
        painter->save();
        painter->setClipRect(option.rect);
        for (int i = 0; i < 3; ++i) {
            QFont font = option.font;
            font.setBold(i == 1);
            painter->setFont(font);
            const int width = QFontMetrics(font).horizontalAdvance(pieces[i]);
            const QRect box(area.left(), area.top(), width, area.height());
            if (i == 1)
                painter->fillRect(box, option.palette.highlight().color().lighter(170));
            painter->setPen(option.palette.color(option.state & QStyle::State_Selected
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
            painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter, pieces[i]);
            area.setLeft(area.left() + width);
        }
        painter->restore();
    }
};

} // namespace

TFormFind::TFormFind(const QString& catalogue, QWidget* parent)
    : QWidget(parent, Qt::Window), ui_(std::make_unique<Ui::TFormFind>()),
      worker_(new FindWorker(catalogue, this)) {
    ui_->setupUi(this);
    Edit1 = ui_->Edit1;
    ListView1 = ui_->ListView1;
    Label2 = ui_->Label2;
    setAttribute(Qt::WA_DeleteOnClose, false);
    ListView1->setHeaderLabels(
        {QStringLiteral("网站名称"), QStringLiteral("位置"), QStringLiteral("内容")});
    ListView1->setItemDelegateForColumn(kExcerptColumn, new ExcerptDelegate(ListView1));
    ListView1->header()->resizeSection(0, 130);
    ListView1->header()->resizeSection(1, 80);
    connect(Edit1, &QLineEdit::textChanged, this, &TFormFind::Edit1Change);
    connect(ListView1, &QTreeWidget::itemDoubleClicked, this, &TFormFind::ChooseCurrent);
    Edit1->installEventFilter(this);
    ListView1->installEventFilter(this);
    connect(worker_, &FindWorker::Scanning, this, &TFormFind::WorkerScanning);
    connect(worker_, &FindWorker::Found, this, &TFormFind::WorkerFound);
    connect(worker_, &FindWorker::Finished, this, &TFormFind::WorkerFinished);
    connect(worker_, &FindWorker::IndexFailed, this, &TFormFind::IndexFailed);
}

TFormFind::~TFormFind() {
    SetBusy(false);
}

void TFormFind::Edit1Change() {
    ListView1->clear();
    count_ = 0;
    const bool empty = Edit1->text().trimmed().isEmpty();
    Label2->setText(empty ? QString() : QStringLiteral("正在查找…"));
    // An empty query supersedes the one before and finds nothing.
    ticket_ = worker_->Find(Edit1->text());
    if (empty)
        SetBusy(false);
}

void TFormFind::WorkerScanning(int ticket, bool scanning) {
    if (ticket == ticket_)
        SetBusy(scanning);
}

void TFormFind::WorkerFound(int ticket, const QList<Find::Result>& results) {
    if (ticket != ticket_)
        return;
    count_ += results.size();
    QList<QTreeWidgetItem*> rows;
    for (const Find::Result& result : results) {
        if (ListView1->topLevelItemCount() + rows.size() >= kMostRows)
            break;
        auto* row = new QTreeWidgetItem({result.name, result.place, result.excerpt});
        row->setData(0, kSiteRole, result.site);
        row->setData(kExcerptColumn, kMatchAtRole, result.matchAt);
        row->setData(kExcerptColumn, kMatchLengthRole, result.matchLength);
        rows << row;
    }
    const bool first = ListView1->topLevelItemCount() == 0;
    ListView1->addTopLevelItems(rows);
    if (first && ListView1->topLevelItemCount() > 0)
        ListView1->setCurrentItem(ListView1->topLevelItem(0));
    Label2->setText(QStringLiteral("正在查找… 已找到 %1 个网站").arg(count_));
}

void TFormFind::WorkerFinished(int ticket, qint64 count, const QString& error) {
    if (ticket != ticket_)
        return;
    SetBusy(false);
    if (!error.isEmpty()) {
        Label2->setText(QStringLiteral("查找失败：%1").arg(error));
        return;
    }
    if (Edit1->text().trimmed().isEmpty())
        Label2->clear();
    else if (count > kMostRows)
        Label2->setText(QStringLiteral("找到 %1 个网站，列出前 %2 个").arg(count).arg(kMostRows));
    else
        Label2->setText(QStringLiteral("找到 %1 个网站").arg(count));
}

void TFormFind::SetBusy(bool busy) {
    if (busy == busy_)
        return;
    busy_ = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

void TFormFind::ChooseCurrent() {
    if (const QTreeWidgetItem* row = ListView1->currentItem())
        emit SiteChosen(row->data(0, kSiteRole).toLongLong());
}

bool TFormFind::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            ChooseCurrent();
            return true;
        }
        // From the box, the arrows walk the results without leaving it.
        if (watched == Edit1 && (key == Qt::Key_Down || key == Qt::Key_Up)) {
            QCoreApplication::sendEvent(ListView1, event);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFormFind::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TFormFind::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Found afresh at every showing: the catalogue may have changed while it was closed.
    if (!event->spontaneous())
        Edit1Change();
}

void TFormFind::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        // Stops a find still running.
        ticket_ = worker_->Find(QString());
        SetBusy(false);
    }
    QWidget::hideEvent(event);
}

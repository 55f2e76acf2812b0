#pragma once

#include "FindText.h"

#include <QWidget>

#include <memory>

namespace Ui {
class TFormFind;
}
class FindWorker;
class QLineEdit;
class QTreeWidget;
class QLabel;

// The find window: results as the user types, from every text of every site. It is not
// modal; choosing a result hands its site to the main window and the window stays open.
class TFormFind : public QWidget {
    Q_OBJECT
public:
    // Rows shown at most; the count covers every site found.
    static constexpr int kMostRows = 1000;

    TFormFind(const QString& catalogue, QWidget* parent = nullptr);
    ~TFormFind() override;

    QLineEdit* Edit1 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QLabel* Label2 = nullptr;

signals:
    // The user chose the site `site` (Enter or a double-click on its row).
    void SiteChosen(qint64 site);
    // A find could not read the index.
    void IndexFailed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Edit1Change();
    void ChooseCurrent();
    void WorkerScanning(int ticket, bool scanning);
    void WorkerFound(int ticket, const QList<Find::Result>& results);
    void WorkerFinished(int ticket, qint64 count, const QString& error);
    void SetBusy(bool busy);

    std::unique_ptr<Ui::TFormFind> ui_;
    FindWorker* worker_ = nullptr;
    int ticket_ = 0;
    qint64 count_ = 0;
    bool busy_ = false;
};

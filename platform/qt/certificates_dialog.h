// The certificates dialog in Qt: the list model's header texts and rows on screen,
// laid out from the dialog units the Win32 resource uses.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "baseline/scan_cycle.h"
#include "ui/certificate_list.h"
#include "ui/scan_now.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace kestrune {

// Runs one user-initiated cycle on the calling (GUI) thread; false, at once, when a
// cycle is already running (the tray program passes tryScanCycle(context, 1)).
using RunUserScan = std::function<bool()>;

class CertificatesDialog : public QDialog {
    Q_OBJECT

  public:
    CertificatesDialog(CycleCoordinator& coordinator, ListSortState& sortState,
                       RunUserScan runUserScan);

    // Refills from the latest snapshot: expanded if the check box is checked.
    void fill();
    // A header click: sorts the rows by that column with the shared direction.
    void sortByColumn(int column);
    // Scan Now.
    void startUserScan();

    // The widget of a control id (tests and screenshots look them up this way).
    QWidget* control(int id) const;
    QTreeWidget* list() const { return list_; }

    void done(int result) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // The constructor's steps, in order.
    void createList();
    void createControls();
    void arrangeControls();
    void connectTimers();

    void tryUserScan();
    void setBusy(bool busy);
    QSize initialSize() const;

    CycleCoordinator& coordinator_;
    ListSortState& sortState_;
    std::vector<CertificateRow> rows_;
    QTimer retryTimer_;
    QTimer refreshTimer_;
    std::shared_ptr<const TableSnapshot> shown_;  // the copy on screen
    bool sizedToRows_ = false;                    // the size was chosen with rows to show
    ScanNow userScan_;

    QTreeWidget* list_ = nullptr;
    QLabel* uniqueText_ = nullptr;
    QLabel* countText_ = nullptr;
    QLabel* lastScanText_ = nullptr;
    QCheckBox* expandCheck_ = nullptr;
    QPushButton* scanNow_ = nullptr;
};

// The Linux tray's list: one window at a time, opened without waiting for it to close,
// and brought forward when it is open already.
class CertificatesList : public QObject {
  public:
    CertificatesList(CycleCoordinator& coordinator, ListSortState& sortState,
                     RunUserScan runUserScan, QObject* parent = nullptr)
        : QObject(parent),
          coordinator_(coordinator),
          sortState_(sortState),
          runUserScan_(std::move(runUserScan)) {}
    void open();
    CertificatesDialog* window() const { return dialog_.data(); }
    // Told each time a new window is shown (the program reports its size).
    void setShownHandler(std::function<void(CertificatesDialog&)> handler) {
        onShown_ = std::move(handler);
    }

  private:
    CycleCoordinator& coordinator_;
    ListSortState& sortState_;
    RunUserScan runUserScan_;
    QPointer<CertificatesDialog> dialog_;
    std::function<void(CertificatesDialog&)> onShown_;
};

// Opens a certificates dialog and returns when it closes. Modal the way a dialog
// without an owner is: the caller waits, no other window is blocked, and every call
// opens another dialog.
void showCertificatesDialog(CycleCoordinator& coordinator, ListSortState& sortState,
                            RunUserScan runUserScan);

}  // namespace kestrune

#include "platform/qt/certificates_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace kestrune {

namespace {

QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// How often an open list looks for a newer published copy: a cycle on another thread
// publishes after its scan and after its reload.
constexpr int kRefreshMs = 500;

// Where the list's size is remembered between runs.
QSettings listSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("kestrune"),
                     QStringLiteral("kestrune"));
}
const QString kSizeKey = QStringLiteral("certificates/size");

QLabel* makeLabel(QWidget* parent, const DialogControl& c) {
    auto* label = new QLabel(qs(c.initialText), parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment((c.rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    return label;
}

}  // namespace

CertificatesDialog::CertificatesDialog(CycleCoordinator& coordinator, ListSortState& sortState,
                                       RunUserScan runUserScan)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      coordinator_(coordinator),
      sortState_(sortState),
      userScan_({.disable = [this] { setBusy(true); },
                 .tryScan = std::move(runUserScan),
                 .refill = [this] { fill(); },
                 .enable = [this] { setBusy(false); },
                 .scheduleRetry = [this] { retryTimer_.start(); }}) {
    setWindowTitle(qs(kCertificatesCaption));
    // No owner: modal for its caller, blocking no other window.
    setWindowModality(Qt::WindowModal);
    setSizeGripEnabled(true);

    createList();
    createControls();
    arrangeControls();
    connectTimers();

    fill();
    resize(initialSize());
    list_->setFocus();
    refreshTimer_.start();
}

void CertificatesDialog::createList() {
    list_ = new QTreeWidget(this);
    list_->setColumnCount(static_cast<int>(kCertificateColumnCount));
    QStringList titles;
    for (const ListColumn& c : kCertificateColumns) {
        titles << qs(c.title);
    }
    list_->setHeaderLabels(titles);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSortingEnabled(false);  // rows are ordered by the model's comparison only
    QHeaderView* header = list_->header();
    header->setStretchLastSection(true);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    // Shown once the user sorts: the rows start in the model's grouped order.
    header->setSortIndicatorShown(false);
    connect(header, &QHeaderView::sectionClicked, this, &CertificatesDialog::sortByColumn);
}

void CertificatesDialog::createControls() {
    uniqueText_ = makeLabel(this, certificatesDialogControl(kIdUniqueText));
    countText_ = makeLabel(this, certificatesDialogControl(kIdCountText));
    lastScanText_ = makeLabel(this, certificatesDialogControl(kIdLastScanText));

    expandCheck_ = new QCheckBox(qs(certificatesDialogControl(kIdExpandCheck).initialText), this);
    expandCheck_->setChecked(false);
    connect(expandCheck_, &QCheckBox::clicked, this, &CertificatesDialog::fill);

    scanNow_ = new QPushButton(qs(certificatesDialogControl(kIdScanNow).initialText), this);
    // Enter is handled in keyPressEvent, as the platform's dialog manager does it.
    scanNow_->setAutoDefault(false);
    scanNow_->setDefault(false);
    connect(scanNow_, &QPushButton::clicked, this, &CertificatesDialog::startUserScan);

    for (const DialogControl& c : kCertificatesDialogControls) {
        control(c.id)->setObjectName(QString::number(c.id));
    }
}

void CertificatesDialog::arrangeControls() {
    // The controls where the product's dialog has them (counts above the list, the
    // check box, the last scan and Scan Now below it), in the desktop's font, with the
    // list taking whatever room the window is given.
    auto* top = new QHBoxLayout;
    top->addWidget(uniqueText_);
    top->addStretch(1);
    top->addWidget(countText_);
    lastScanText_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(expandCheck_);
    bottom->addStretch(1);
    bottom->addWidget(lastScanText_);
    bottom->addWidget(scanNow_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(list_, 1);
    layout->addLayout(bottom);
    // Tab order as the resource lists the controls.
    setTabOrder(list_, expandCheck_);
    setTabOrder(expandCheck_, scanNow_);
}

void CertificatesDialog::connectTimers() {
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(kScanRetryMs);
    connect(&retryTimer_, &QTimer::timeout, this, &CertificatesDialog::tryUserScan);

    refreshTimer_.setInterval(kRefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        if (coordinator_.snapshot() != shown_) {
            fill();
        }
    });
}

QSize CertificatesDialog::initialSize() const {
    // The columns at their content's width and about twenty rows, or the size the user
    // left it at; never more than the screen has room for.
    const QHeaderView* header = list_->header();
    int columns = 0;
    for (int i = 0; i < header->count(); ++i) {
        columns += header->sectionSize(i);
    }
    const int rowHeight = std::max(list_->sizeHintForRow(0), list_->fontMetrics().height());
    const QMargins m = layout()->contentsMargins();
    QSize wanted(columns + m.left() + m.right() + 2 * list_->frameWidth() +
                     list_->verticalScrollBar()->sizeHint().width(),
                 sizeHint().height() - list_->sizeHint().height() + header->sizeHint().height() +
                     20 * rowHeight + 2 * list_->frameWidth());
    const QSize remembered = listSettings().value(kSizeKey).toSize();
    if (remembered.isValid()) {
        wanted = remembered;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        // Room for the window manager's frame around it.
        const QSize room = screen->availableGeometry().size() * 9 / 10;
        wanted = wanted.boundedTo(room);
    }
    return wanted.expandedTo(minimumSizeHint());
}

QWidget* CertificatesDialog::control(int id) const {
    switch (id) {
        case kIdCertificateList:
            return list_;
        case kIdUniqueText:
            return uniqueText_;
        case kIdLastScanText:
            return lastScanText_;
        case kIdExpandCheck:
            return expandCheck_;
        case kIdCountText:
            return countText_;
        case kIdScanNow:
            return scanNow_;
        default:
            return nullptr;
    }
}

void CertificatesDialog::fill() {
    // A published copy: never the table a running cycle rewrites, never a wait for it.
    const std::shared_ptr<const TableSnapshot> snapshot = coordinator_.snapshot();
    shown_ = snapshot;
    const TableSnapshot empty;
    CertificateListFill f =
        fillCertificateList(snapshot ? *snapshot : empty, expandCheck_->isChecked());
    list_->clear();
    uniqueText_->setText(qs(f.header.uniqueText));
    countText_->setText(qs(f.header.countText));
    lastScanText_->setText(qs(f.header.lastScanText));
    rows_ = std::move(f.rows);

    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows_.size()));
    for (const CertificateRow& row : rows_) {
        auto* item = new QTreeWidgetItem;
        for (std::size_t c = 0; c < kCertificateColumnCount; ++c) {
            item->setText(static_cast<int>(c), qs(row[c]));
        }
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        items.append(item);
    }
    list_->addTopLevelItems(items);
    for (int c = 0; c < list_->columnCount(); ++c) {
        list_->resizeColumnToContents(c);
    }
    // A refill is in the model's grouped order again.
    list_->header()->setSortIndicatorShown(false);
    if (!sizedToRows_ && !rows_.empty()) {
        // Opened before the first scan was done (--certificates at start): sized for its
        // rows once they are there.
        sizedToRows_ = true;
        if (isVisible()) {
            resize(initialSize());
        }
    }
}

void CertificatesDialog::sortByColumn(int column) {
    if (column < 0 || static_cast<std::size_t>(column) >= kCertificateColumnCount) {
        return;
    }
    QTreeWidgetItem* current = list_->currentItem();
    std::vector<bool> selected;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        selected.push_back(list_->topLevelItem(i)->isSelected());
    }
    QList<QTreeWidgetItem*> items = list_->invisibleRootItem()->takeChildren();
    if (static_cast<std::size_t>(items.size()) != rows_.size()) {
        // Items and rows come from one fill; should they ever differ, rebuild.
        qDeleteAll(items);
        fill();
        return;
    }
    const bool ascending = sortState_.listSortDirection() > 0;
    const std::vector<std::size_t> order =
        sortState_.sortRows(rows_, static_cast<std::size_t>(column));
    QHeaderView* header = list_->header();
    header->setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    header->setSortIndicatorShown(true);
    QList<QTreeWidgetItem*> sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) {
        sorted.append(items[static_cast<qsizetype>(i)]);
    }
    list_->addTopLevelItems(sorted);
    // Moving the items drops the selection; the rows the user had picked stay picked.
    for (std::size_t k = 0; k < order.size(); ++k) {
        sorted[static_cast<qsizetype>(k)]->setSelected(selected[order[k]]);
    }
    if (current) {
        list_->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    }
}

void CertificatesDialog::setBusy(bool busy) {
    scanNow_->setEnabled(!busy);
    list_->setEnabled(!busy);
    expandCheck_->setEnabled(!busy);
    if (busy) {
        setCursor(Qt::WaitCursor);
    } else {
        unsetCursor();  // back to the arrow
    }
}

void CertificatesDialog::startUserScan() {
    if (!userScan_.start()) {
        return;
    }
    // From the event loop, so the disabled controls and the wait cursor are on screen
    // before a cycle holds this thread.
    QTimer::singleShot(0, this, &CertificatesDialog::tryUserScan);
}

void CertificatesDialog::tryUserScan() {
    userScan_.attempt();
}

void CertificatesDialog::done(int result) {
    listSettings().setValue(kSizeKey, size());
    // Closing while a scan waits for its turn gives the turn up.
    retryTimer_.stop();
    refreshTimer_.stop();
    userScan_.cancel();
    QDialog::done(result);
}

void CertificatesDialog::keyPressEvent(QKeyEvent* event) {
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        // Enter presses a focused push button and otherwise does nothing: it never
        // closes the dialog.
        if (focusWidget() == scanNow_ && scanNow_->isEnabled()) {
            scanNow_->click();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);  // Escape ends the dialog
}

void CertificatesList::open() {
    if (dialog_ != nullptr) {
        // One list at a time: a second click, launch or menu command brings it forward.
        dialog_->show();
        dialog_->raise();
        dialog_->activateWindow();
        return;
    }
    auto* dialog = new CertificatesDialog(coordinator_, sortState_, runUserScan_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog_ = dialog;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    if (onShown_) {
        onShown_(*dialog);
    }
}

void showCertificatesDialog(CycleCoordinator& coordinator, ListSortState& sortState,
                            RunUserScan runUserScan) {
    CertificatesDialog dialog(coordinator, sortState, std::move(runUserScan));
    dialog.exec();
}

}  // namespace kestrune

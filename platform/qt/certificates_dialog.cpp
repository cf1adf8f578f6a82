#include "platform/qt/certificates_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <algorithm>

namespace kestrune {

namespace {

QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QRect toQRect(const DialogRect& r) {
    return QRect(r.x, r.y, r.cx, r.cy);
}

// The dialog font is "MS Shell Dlg" 8 point, which Linux does not have: the
// application's own family at 8 point stands in for it.
QFont dialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(8);
    return font;
}

DialogBaseUnits baseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    return dialogBaseUnits(metrics.horizontalAdvance(QStringLiteral(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                           metrics.height());
}

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
    setFont(dialogFont());
    const DialogBaseUnits units = baseUnitsOf(font());
    const DialogRect size =
        dialogUnitsToPixels({0, 0, kCertificatesDialogWidth, kCertificatesDialogHeight}, units);
    // Where the dialog is wider than the screen (about 1060 px against 1024), it shrinks
    // to the screen and the list takes the loss; the controls right of it move along.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int available = screen != nullptr ? screen->availableGeometry().width() : size.cx;
    const int loss = available > 0 ? std::max(0, size.cx - available) : 0;
    setFixedSize(size.cx - loss, size.cy);

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
    // The last column reaches the list's right edge, so the store names are not cut
    // while the list has room.
    header->setStretchLastSection(true);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    for (std::size_t i = 0; i < kCertificateColumnCount; ++i) {
        header->resizeSection(static_cast<int>(i), kCertificateColumns[i].width);
    }
    connect(header, &QHeaderView::sectionClicked, this, &CertificatesDialog::sortByColumn);

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
        QWidget* w = control(c.id);
        w->setObjectName(QString::number(c.id));
        QRect place = toQRect(dialogUnitsToPixels(c.rect, units));
        if (c.id == kIdCertificateList) {
            place.setWidth(std::max(place.width() - loss, 0));
        } else if (place.left() > size.cx / 2) {
            place.translate(-loss, 0);
        }
        w->setGeometry(place);
    }
    // Tab order as the resource lists the controls.
    setTabOrder(list_, expandCheck_);
    setTabOrder(expandCheck_, scanNow_);

    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(kScanRetryMs);
    connect(&retryTimer_, &QTimer::timeout, this, &CertificatesDialog::tryUserScan);

    fill();
    list_->setFocus();
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
    const std::vector<std::size_t> order =
        sortState_.sortRows(rows_, static_cast<std::size_t>(column));
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
    // Closing while a scan waits for its turn gives the turn up.
    retryTimer_.stop();
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

void showCertificatesDialog(CycleCoordinator& coordinator, ListSortState& sortState,
                            RunUserScan runUserScan) {
    CertificatesDialog dialog(coordinator, sortState, std::move(runUserScan));
    dialog.exec();
}

}  // namespace kestrune

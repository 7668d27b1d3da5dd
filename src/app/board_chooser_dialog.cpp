#include "app/board_chooser_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <pthread.h>

#include <system_error>

#include "usb/udev_rule.h"
#include "usb/usb_backend.h"

namespace {

enum Column { kIds, kName, kPlace, kKind };

QString idsText(usb::UsbId id) { return QString::fromStdString(usb::formatUsbId(id)); }

QString nameOf(const usb::UsbDeviceInfo& device) {
    if (device.namesOnDevice) return QStringLiteral("reading\u2026");
    QString name = QString::fromStdString(device.manufacturer);
    const QString product = QString::fromStdString(device.product);
    if (!product.isEmpty()) name += (name.isEmpty() ? "" : " ") + product;
    return name.isEmpty() ? QStringLiteral("(no name)") : name;
}

}  // namespace

BoardChooserDialog::BoardChooserDialog(Lister lister, NameReader nameReader, Opener opener, QString ruleTemplate,
                                       QWidget* parent)
    : QDialog(parent),
      lister_(std::move(lister)),
      nameReader_(std::move(nameReader)),
      opener_(std::move(opener)),
      ruleTemplate_(std::move(ruleTemplate)),
      inbox_(new QObject, [](QObject* inbox) { inbox->deleteLater(); }) {
    setObjectName("boardChooserDialog");
    setWindowTitle(QStringLiteral("Choose capture board"));

    auto* intro = new QLabel(
        QStringLiteral("Pick the USB device that is your capture board. Devices that present a capture "
                       "interface are listed first."),
        this);
    intro->setWordWrap(true);

    list_ = new QTreeWidget(this);
    list_->setObjectName("devices");
    list_->setRootIsDecorated(false);
    list_->setAllColumnsShowFocus(true);
    list_->setHeaderLabels({QStringLiteral("Ids"), QStringLiteral("Name"), QStringLiteral("Bus, device"),
                            QStringLiteral("Interface")});
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionResizeMode(kName, QHeaderView::Stretch);
    list_->setMinimumSize(640, 150);

    auto* refresh = new QPushButton(QStringLiteral("&Refresh"), this);
    refresh->setObjectName("refresh");
    refresh->setAutoDefault(false);
    open_ = new QPushButton(QStringLiteral("&Open board"), this);
    open_->setObjectName("open");
    open_->setDefault(true);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName("close");
    close->setAutoDefault(false);

    message_ = new QLabel(this);
    message_->setObjectName("message");
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message_->hide();

    // Shown once opening was refused for lack of permission.
    permission_ = new QWidget(this);
    permissionIntro_ = new QLabel(permission_);
    permissionIntro_->setWordWrap(true);
    commands_ = new QPlainTextEdit(permission_);
    commands_->setObjectName("permissionText");
    commands_->setReadOnly(true);
    commands_->setLineWrapMode(QPlainTextEdit::NoWrap);
    commands_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Four lines of commands; the rule line scrolls sideways rather than wrap.
    commands_->setFixedHeight(commands_->fontMetrics().lineSpacing() * 6 +
                              commands_->horizontalScrollBar()->sizeHint().height() + 2 * commands_->frameWidth());
    auto* copy = new QPushButton(QStringLiteral("&Copy"), permission_);
    copy->setObjectName("copy");
    copy->setAutoDefault(false);
    auto* permissionLayout = new QVBoxLayout(permission_);
    permissionLayout->setContentsMargins(0, 0, 0, 0);
    permissionLayout->addWidget(permissionIntro_);
    permissionLayout->addWidget(commands_);
    auto* copyRow = new QHBoxLayout;
    copyRow->addStretch();
    copyRow->addWidget(copy);
    permissionLayout->addLayout(copyRow);
    permission_->hide();

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refresh);
    buttons->addStretch();
    buttons->addWidget(open_);
    buttons->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(list_);
    layout->addLayout(buttons);
    layout->addWidget(message_);
    layout->addWidget(permission_);

    connect(refresh, &QPushButton::clicked, this, [this] { this->refresh(); });
    connect(open_, &QPushButton::clicked, this, [this] { openSelected(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { openSelected(); });
    connect(list_, &QTreeWidget::currentItemChanged, this,
            [this] { open_->setEnabled(list_->currentItem() != nullptr); });
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(commands_->toPlainText()); });

    this->refresh();
}

BoardChooserDialog::~BoardChooserDialog() {
    // A device still being asked must not hold the window up: the worker
    // finishes on its own, and its answers find no dialog.
    if (worker_.joinable()) worker_.detach();
}

void BoardChooserDialog::refresh() {
    ++listing_;
    devices_ = lister_();
    if (!nameReader_)
        for (usb::UsbDeviceInfo& device : devices_) device.namesOnDevice = false;
    list_->clear();
    for (const usb::UsbDeviceInfo& device : devices_) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(kIds, idsText(device.id));
        item->setText(kName, nameOf(device));
        item->setText(kPlace, QStringLiteral("%1, %2").arg(device.bus).arg(device.address));
        item->setText(kKind, device.captureInterface ? QStringLiteral("capture") : QString());
    }
    for (int column : {kIds, kPlace, kKind}) list_->resizeColumnToContents(column);
    if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
    open_->setEnabled(list_->currentItem() != nullptr);
    message_->setVisible(devices_.empty());
    if (devices_.empty())
        message_->setText(QStringLiteral("No USB devices found. Plug the board in, then press Refresh."));
    startReadingNames();
}

void BoardChooserDialog::startReadingNames() {
    std::vector<std::pair<size_t, usb::UsbDeviceInfo>> wanted;
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].namesOnDevice) wanted.emplace_back(i, devices_[i]);
    if (wanted.empty()) return;
    if (worker_.joinable()) {
        readAgain_ = true;  // after the one on its way
        return;
    }
    try {
        worker_ = std::thread([inbox = inbox_, dialog = QPointer<BoardChooserDialog>(this), reader = nameReader_,
                               listing = listing_, wanted = std::move(wanted)]() mutable {
            pthread_setname_np(pthread_self(), "usb names");
            for (auto& [index, device] : wanted) {
                reader(device);
                device.namesOnDevice = false;
                QMetaObject::invokeMethod(
                    inbox.get(),
                    [dialog, listing, index = index, device = device] {
                        if (dialog) dialog->nameRead(listing, index, device);
                    },
                    Qt::QueuedConnection);
            }
            QMetaObject::invokeMethod(
                inbox.get(), [dialog] { if (dialog) dialog->readingEnded(); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread: the names stay unknown.
        for (auto& [index, device] : wanted) {
            device.manufacturer.clear();
            device.product.clear();
            nameRead(listing_, index, device);
        }
    }
}

void BoardChooserDialog::nameRead(uint64_t listing, size_t index, const usb::UsbDeviceInfo& device) {
    if (listing != listing_ || index >= devices_.size() || !devices_[index].namesOnDevice) return;
    usb::UsbDeviceInfo& listed = devices_[index];
    listed.namesOnDevice = false;
    listed.manufacturer = device.manufacturer;
    listed.product = device.product;
    if (QTreeWidgetItem* item = list_->topLevelItem(int(index))) item->setText(kName, nameOf(listed));
}

void BoardChooserDialog::readingEnded() {
    // Its last call is made: the join is immediate.
    worker_.join();
    if (readAgain_) {
        readAgain_ = false;
        startReadingNames();
    }
}

int BoardChooserDialog::namesPending() const {
    int pending = 0;
    for (const usb::UsbDeviceInfo& device : devices_) pending += device.namesOnDevice ? 1 : 0;
    return pending;
}

void BoardChooserDialog::openSelected() {
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row < 0 || size_t(row) >= devices_.size()) return;
    const usb::UsbDeviceInfo device = devices_[size_t(row)];
    if (!device.captureInterface &&
        QMessageBox::question(this, windowTitle(),
                              QStringLiteral("%1 (%2) does not present the capture board's interface. Use it as "
                                             "the capture board anyway?")
                                  .arg(idsText(device.id), nameOf(device))) != QMessageBox::Yes)
        return;
    message_->hide();
    permission_->hide();
    commands_->clear();

    const uint32_t error = opener_(device);
    if (error == usb::kErrorNone) {
        accept();
        return;
    }
    if (error == usb::kErrorAccessDenied) {
        showPermissionHelp(device);
        return;
    }
    message_->setText(
        QStringLiteral("%1 (%2) could not be opened as the capture board; the debug console says why. "
                       "Its ids were added to usb-ids in the settings folder; remove that line if the "
                       "device is not the board.")
            .arg(idsText(device.id), nameOf(device)));
    message_->show();
    adjustSize();
}

void BoardChooserDialog::showPermissionHelp(const usb::UsbDeviceInfo& device) {
    const std::string ruleTemplate = ruleTemplate_.toStdString();
    permissionIntro_->setText(
        QStringLiteral("This user may not open %1 (%2). Install the udev rule that gives the user at the "
                       "seat access by running these commands in a terminal, then plug the board in again:")
            .arg(idsText(device.id), nameOf(device)));
    commands_->setPlainText(QString::fromStdString(usb::udevInstallCommands(ruleTemplate, {device.id})));
    permission_->show();
    adjustSize();
}

QString BoardChooserDialog::permissionText() const {
    return permission_->isHidden() ? QString() : commands_->toPlainText();
}

QString BoardChooserDialog::messageText() const { return message_->isHidden() ? QString() : message_->text(); }

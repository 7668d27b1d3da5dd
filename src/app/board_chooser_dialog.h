#pragma once
// "Choose capture board": the connected USB devices, likely boards first;
// the chosen one is opened as the capture board. When this user may not
// open it, the dialog shows the udev rule and the commands that install it.
// Names that only the devices themselves know are read on a worker thread
// of the dialog's own (a device may take seconds to answer), one per
// listing, and filled in as they come.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "usb/libusb/usb_device_list.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

class BoardChooserDialog : public QDialog {
    Q_OBJECT
public:
    using Lister = std::function<std::vector<usb::UsbDeviceInfo>()>;
    // Reads the names of a device marked namesOnDevice; called on the worker.
    using NameReader = std::function<bool(usb::UsbDeviceInfo&)>;
    // Makes the device the capture board: usb::kErrorNone once it is open,
    // else the reason it is not.
    using Opener = std::function<uint32_t(const usb::UsbDeviceInfo&)>;

    // ruleTemplate: the text of the udev rule template. Without a name
    // reader the names the kernel lacks stay unknown.
    BoardChooserDialog(Lister lister, NameReader nameReader, Opener opener, QString ruleTemplate,
                       QWidget* parent = nullptr);
    ~BoardChooserDialog() override;

    // Lists the devices again.
    void refresh();
    // Opens the selected device (the "Open board" button).
    void openSelected();

    const std::vector<usb::UsbDeviceInfo>& devices() const { return devices_; }
    // The install commands on show, "" while none are.
    QString permissionText() const;
    QString messageText() const;
    // Devices whose names are still being read.
    int namesPending() const;

private:
    void showPermissionHelp(const usb::UsbDeviceInfo& device);
    void startReadingNames();
    void nameRead(uint64_t listing, size_t index, const usb::UsbDeviceInfo& device);
    void readingEnded();

    Lister lister_;
    NameReader nameReader_;
    Opener opener_;
    QString ruleTemplate_;
    std::vector<usb::UsbDeviceInfo> devices_;
    QTreeWidget* list_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* message_ = nullptr;
    QWidget* permission_ = nullptr;
    QLabel* permissionIntro_ = nullptr;
    QPlainTextEdit* commands_ = nullptr;

    // The worker and what it answers to: its calls are queued to the inbox
    // (a plain object on this thread that outlives whichever of the dialog
    // and the worker goes last), so the worker never touches the dialog.
    std::shared_ptr<QObject> inbox_;
    std::thread worker_;
    uint64_t listing_ = 0;       // counts refreshes; a worker's answers carry its listing
    bool readAgain_ = false;     // a refresh came while the worker was busy
};

#pragma once
// "Choose capture board": the connected USB devices, likely boards first;
// the chosen one is opened as the capture board. When this user may not
// open it, the dialog shows the udev rule and the commands that install it.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
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
    // Makes the device the capture board: usb::kErrorNone once it is open,
    // else the reason it is not.
    using Opener = std::function<uint32_t(const usb::UsbDeviceInfo&)>;

    // ruleTemplate: the text of the udev rule template.
    BoardChooserDialog(Lister lister, Opener opener, QString ruleTemplate, QWidget* parent = nullptr);

    // Lists the devices again.
    void refresh();
    // Opens the selected device (the "Open board" button).
    void openSelected();

    const std::vector<usb::UsbDeviceInfo>& devices() const { return devices_; }
    // The install commands on show, "" while none are.
    QString permissionText() const;
    QString messageText() const;

private:
    void showPermissionHelp(const usb::UsbDeviceInfo& device);

    Lister lister_;
    Opener opener_;
    QString ruleTemplate_;
    std::vector<usb::UsbDeviceInfo> devices_;
    QTreeWidget* list_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* message_ = nullptr;
    QWidget* permission_ = nullptr;
    QLabel* permissionIntro_ = nullptr;
    QPlainTextEdit* commands_ = nullptr;
};

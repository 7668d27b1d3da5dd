// "Choose capture board" against USB devices faked below libusb: umockdev
// gives the process a sysfs tree and device nodes (the test runs under
// umockdev-wrapper), and libusb's own Linux backend lists them.
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "support/debug_capture.h"
#include "app/board_chooser.h"
#include "app/board_chooser_dialog.h"
#include "app/control_window.h"
#include "app/kestrel_app.h"
#include "usb/libusb/libusb_backend.h"

namespace {

struct Endpoint {
    uint8_t address;
    uint8_t attributes;  // 2 bulk, 3 interrupt
};

struct FakeDevice {
    const char* sysName;  // "1-4": bus 1, port 4
    int bus;
    int address;
    uint16_t vendor;
    uint16_t product;
    uint8_t deviceClass;
    uint8_t interfaceClass;
    Endpoint endpoint;
    const char* manufacturer;
    const char* productName;
};

// Bus 1: a hub, a mouse, a vendor device whose bulk IN is 0x81, the board;
// bus 2: a vendor device with an interrupt IN 0x82, and a second board.
const FakeDevice kDevices[] = {
    {"1-1", 1, 2, 0x1a40, 0x0101, 0x09, 0x09, {0x81, 3}, "Hubco", "Four-port hub"},
    {"1-2", 1, 3, 0x3f01, 0x0002, 0x00, 0x03, {0x81, 3}, "Acme", "Optical mouse"},
    {"1-3", 1, 4, 0x3f02, 0x7000, 0x00, 0xff, {0x81, 2}, "Serialworks", "Adapter"},
    {"1-4", 1, 5, 0x2a03, 0x0b01, 0x00, 0xff, {0x82, 2}, "Wren", "Kestrel capture board"},
    {"2-1", 2, 2, 0x3f03, 0x0010, 0x00, 0xff, {0x82, 3}, "Padmaker", "Game pad"},
    {"2-2", 2, 3, 0x2a03, 0x0b02, 0x00, 0xff, {0x82, 2}, "", ""},
};

std::vector<uint8_t> descriptors(const FakeDevice& d) {
    std::vector<uint8_t> bytes = {18, 1, 0x00, 0x02, d.deviceClass, 0, 0, 64,
                                  uint8_t(d.vendor), uint8_t(d.vendor >> 8), uint8_t(d.product),
                                  uint8_t(d.product >> 8), 0x00, 0x01, 1, 2, 0, 1};
    const uint8_t config[] = {9, 2, 25, 0, 1, 1, 0, 0x80, 50,
                              9, 4, 0, 0, 1, d.interfaceClass, 0, 0, 0,
                              7, 5, d.endpoint.address, d.endpoint.attributes, 0x00, 0x02, 0};
    bytes.insert(bytes.end(), std::begin(config), std::end(config));
    return bytes;
}

// Root passes every permission check; for the refusal to happen the UI
// thread gives up the capabilities that let it (and takes them back after).
class WithoutFileOverride {
public:
    WithoutFileOverride() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, saved_, sizeof reduced);
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutFileOverride() {
        if (active_) syscall(SYS_capset, &header_, saved_);
    }
    // False when root could not give the override up (a confined container).
    bool inEffect() const { return active_ || geteuid() != 0; }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

// The second board (no names in sysfs) takes 5 s to answer for its string
// descriptors; every other device is read as the program reads it.
constexpr auto kStall = std::chrono::seconds(5);
std::atomic<int> slowAnswers{0};

bool slowNameReader(usb::UsbDeviceInfo& device) {
    if (!(device.id == usb::UsbId{0x2a03, 0x0b02})) return usb::readUsbDeviceNames(device);
    std::this_thread::sleep_for(kStall);
    device.manufacturer = "Wren";
    device.product = "Second board";
    ++slowAnswers;
    return true;
}

// The longest the UI thread slept between two runs of a 5 ms timer: the
// time between them less what it spent running and runnable but waiting
// for a CPU (work and a busy machine are not the UI thread waiting).
class UiWaitMeter {
public:
    UiWaitMeter() : schedstat_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 busy = busyMs();
            longest_ = std::max(longest_, clock_.restart() - (busy - lastBusy_));
            lastBusy_ = busy;
        });
        lastBusy_ = busyMs();
        clock_.start();
        timer_.start(5);
    }
    ~UiWaitMeter() {
        if (schedstat_ >= 0) ::close(schedstat_);
    }
    qint64 longestMs() const { return longest_; }

private:
    // Running plus waiting for a CPU, from the thread's scheduler statistics.
    qint64 busyMs() const {
        char text[96];
        const ssize_t n = schedstat_ < 0 ? -1 : ::pread(schedstat_, text, sizeof text - 1, 0);
        if (n <= 0) return 0;
        text[n] = 0;
        long long running = 0, waiting = 0;
        return std::sscanf(text, "%lld %lld", &running, &waiting) == 2 ? (running + waiting) / 1000000 : 0;
    }

    int schedstat_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
    qint64 lastBusy_ = 0;
};

QStringList rowTexts(QTreeWidget* list, int column) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
    return texts;
}

}  // namespace

class BoardChooserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        testbed_ = umockdev_testbed_new();
        for (const FakeDevice& d : kDevices) {
            const QString record =
                QStringLiteral(
                    "P: /devices/pci0000:00/0000:00:14.0/usb%1/%2\nN: bus/usb/%3/%4\n"
                    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/%3/%4\n"
                    "E: BUSNUM=%3\nE: DEVNUM=%4\n"
                    "A: idVendor=%5\nA: idProduct=%6\nA: busnum=%1\nA: devnum=%7\nA: speed=480\n"
                    "A: dev=189:%8\nA: bConfigurationValue=1\n")
                    .arg(d.bus)
                    .arg(d.sysName)
                    .arg(d.bus, 3, 10, QChar('0'))
                    .arg(d.address, 3, 10, QChar('0'))
                    .arg(d.vendor, 4, 16, QChar('0'))
                    .arg(d.product, 4, 16, QChar('0'))
                    .arg(d.address)
                    .arg((d.bus - 1) * 128 + d.address - 1) +
                (*d.manufacturer ? QStringLiteral("A: manufacturer=%1\nA: product=%2\n")
                                       .arg(d.manufacturer, d.productName)
                                 : QString());
            GError* error = nullptr;
            QVERIFY2(umockdev_testbed_add_from_string(testbed_, record.toUtf8().constData(), &error),
                     error ? error->message : "add_from_string failed");
            std::vector<uint8_t> bytes = descriptors(d);
            const QByteArray path = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb%1/%2")
                                        .arg(d.bus)
                                        .arg(d.sysName)
                                        .toUtf8();
            umockdev_testbed_set_attribute_binary(testbed_, path.constData(), "descriptors", bytes.data(),
                                                  bytes.size());
        }
        char* root = umockdev_testbed_get_root_dir(testbed_);
        root_ = QString::fromUtf8(root);
        g_free(root);
        // Without the preload the real /sys is what the process sees.
        if (!QFile::exists(QStringLiteral("/sys/bus/usb/devices/1-4/descriptors")) ||
            QFile(QStringLiteral("/sys/bus/usb/devices/1-4/product")).open(QIODevice::ReadOnly) == false)
            QSKIP("umockdev cannot fake devices in this process (run it under umockdev-wrapper, "
                  "with umockdev installed)");

        qputenv("HOME", home_.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toUtf8());
        QDir(home_.path()).mkpath("Desktop");
        usbIds_ = home_.path() + "/config/Wren Capture/usb-ids";
    }

    void cleanupTestCase() {
        if (testbed_) g_object_unref(testbed_);
    }

    // Likely boards first (bus, then address), hubs left out, names from sysfs.
    void listsLikelyBoardsFirst() {
        const std::vector<usb::UsbDeviceInfo> devices = usb::listUsbDevices();
        QStringList seen;
        for (const usb::UsbDeviceInfo& d : devices)
            seen << QStringLiteral("%1 %2-%3 %4 [%5|%6]")
                        .arg(QString::fromStdString(usb::formatUsbId(d.id)))
                        .arg(d.bus)
                        .arg(d.address)
                        .arg(d.captureInterface ? "capture" : "-")
                        .arg(QString::fromStdString(d.manufacturer), QString::fromStdString(d.product));
        const QStringList expected = {
            "2a03:0b01 1-5 capture [Wren|Kestrel capture board]",
            "2a03:0b02 2-3 capture [|]",
            "3f01:0002 1-3 - [Acme|Optical mouse]",
            "3f02:7000 1-4 - [Serialworks|Adapter]",
            "3f03:0010 2-2 - [Padmaker|Game pad]",
        };
        QCOMPARE(seen, expected);
    }

    // The user's way: status line, context menu, the dialog; the choice goes
    // into usb-ids and is opened through the arrival path; a refusal for
    // lack of permission brings up the udev rule.
    void choosingAddsIdsAndExplainsARefusal() {
        QDir().mkpath(QFileInfo(usbIds_).path());
        {
            QFile file(usbIds_);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("# mine\n3f0f:0001");  // a board not plugged in; no final newline
        }
        std::unique_ptr<usb::Backend> backend = usb::makeLibusbBackend();
        QVERIFY(backend);
        setUsbDeviceLister(usb::listUsbDevices, usb::readUsbDeviceNames);
        DebugCapture debug;
        auto app = std::make_unique<KestrelApp>();
        app->start(*backend, false);
        ControlWindow& control = *app->controlWindow();

        QVERIFY2(control.statusText().startsWith("No capture board found."), qPrintable(control.statusText()));

        // The context menu offers the chooser beside the debug console.
        QStringList menuTexts;
        QTimer::singleShot(0, [&menuTexts] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            QAction* choose = nullptr;
            for (QAction* action : menu->actions()) {
                menuTexts << action->text().remove('&');
                if (action->text().remove('&') == QStringLiteral("Choose capture board\u2026")) choose = action;
            }
            if (choose) menu->setActiveAction(choose);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), control.mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(&control, &event);
        QCOMPARE(menuTexts, QStringList({"Choose capture board\u2026", "Debug console", "", "Share as camera (PipeWire)",
                                         "Camera picture size", "", "About Kestrel Capture"}));
        auto* dialog = control.findChild<BoardChooserDialog*>();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());

        auto* list = dialog->findChild<QTreeWidget*>("devices");
        QCOMPARE(rowTexts(list, 0),
                 QStringList({"2a03:0b01", "2a03:0b02", "3f01:0002", "3f02:7000", "3f03:0010"}));
        QCOMPARE(rowTexts(list, 1).first(), QStringLiteral("Wren Kestrel capture board"));
        QCOMPARE(list->currentItem(), list->topLevelItem(0));

        // A device without the capture interface is taken only when confirmed.
        auto* open = dialog->findChild<QPushButton*>("open");
        QString asked;
        QTimer::singleShot(0, [&asked] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            asked = box->text();
            box->button(QMessageBox::No)->click();
        });
        list->setCurrentItem(list->topLevelItem(2));
        open->click();
        QVERIFY2(asked.startsWith("3f01:0002 (Acme Optical mouse) does not present"), qPrintable(asked));
        QCOMPARE(readUsbIds(), QByteArray("# mine\n3f0f:0001"));
        list->setCurrentItem(list->topLevelItem(0));

        // Opened at once through the arrival path. Nothing answers the
        // device's requests here, so opening fails past the permission check.
        debug.clear();
        open->click();
        QVERIFY2(QString::fromStdString(debug.text()).contains("opening usb:1-5:2a03:0b01"),
                 debug.text().c_str());
        QVERIFY(dialog->isVisible());
        QVERIFY2(dialog->messageText().contains("2a03:0b01"), qPrintable(dialog->messageText()));
        QCOMPARE(dialog->permissionText(), QString());
        const QByteArray listed("# mine\n3f0f:0001\n2a03:0b01\n");  // what was there is kept
        QCOMPARE(readUsbIds(), listed);

        // Refused for lack of permission: the exact rule and how to install it.
        const QString node = root_ + "/dev/bus/usb/001/005";
        QVERIFY2(QFile::exists(node), qPrintable(node));
        QVERIFY(::chmod(node.toUtf8().constData(), 0) == 0);
        bool refused = false;
        {
            WithoutFileOverride asAUser;
            refused = asAUser.inEffect();
            if (refused) open->click();
        }
        QVERIFY(::chmod(node.toUtf8().constData(), 0644) == 0);
        if (!refused) QSKIP("root here cannot give up its file-permission override: no refusal to show");
        const QString commands =
            "sudo tee /etc/udev/rules.d/70-kestrel-capture.rules >/dev/null <<'EOF'\n"
            "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTRS{idVendor}==\"2a03\", "
            "ATTRS{idProduct}==\"0b01\", TAG+=\"uaccess\"\n"
            "EOF\n"
            "sudo udevadm control --reload-rules && sudo udevadm trigger\n";
        QCOMPARE(dialog->permissionText(), commands);
        QCOMPARE(dialog->messageText(), QString());
        dialog->findChild<QPushButton*>("copy")->click();
        QCOMPARE(QApplication::clipboard()->text(), commands);

        QCOMPARE(readUsbIds(), listed);  // chosen twice, listed once

        app.reset();
        setUsbDeviceLister(nullptr);
    }

    // A device slow to give its names holds neither the window nor its
    // closing: it shows "reading…" until it answers; names it cannot give
    // show as "(no name)".
    void aSlowDeviceShowsAsReading() {
        const auto none = [](const usb::UsbDeviceInfo&) { return usb::kErrorNoDevice; };
        UiWaitMeter meter;
        QElapsedTimer opening;
        opening.start();
        auto dialog = std::make_unique<BoardChooserDialog>(usb::listUsbDevices, slowNameReader, none, QString());
        dialog->show();
        const qint64 openingMs = opening.elapsed();
        auto* list = dialog->findChild<QTreeWidget*>("devices");
        const QStringList reading = {"Wren Kestrel capture board", "reading\u2026", "Acme Optical mouse",
                                     "Serialworks Adapter", "Padmaker Game pad"};
        QCOMPARE(rowTexts(list, 1), reading);
        QCOMPARE(dialog->namesPending(), 1);
        QTest::qWait(4000);
        QCOMPARE(rowTexts(list, 1), reading);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->namesPending(), 0, 5000);
        QCOMPARE(rowTexts(list, 1)[1], QStringLiteral("Wren Second board"));
        QVERIFY2(openingMs < 1000, qPrintable(QString::number(openingMs)));
        QVERIFY2(meter.longestMs() <= 50, qPrintable(QStringLiteral("the UI thread slept %1 ms").arg(meter.longestMs())));
        qInfo("while the device stalled: opening took %lld ms, the UI thread slept at most %lld ms between "
              "two 5 ms ticks", openingMs, meter.longestMs());

        // Closed while the slow device is still being asked: at once.
        dialog = std::make_unique<BoardChooserDialog>(usb::listUsbDevices, slowNameReader, none, QString());
        QTest::qWait(200);
        QElapsedTimer closing;
        closing.start();
        dialog.reset();
        QVERIFY2(closing.elapsed() <= 50, qPrintable(QString::number(closing.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(slowAnswers.load(), 2, 8000);  // its late answer finds no dialog

        // The device as the program asks it: here it cannot answer.
        dialog = std::make_unique<BoardChooserDialog>(usb::listUsbDevices, usb::readUsbDeviceNames, none, QString());
        list = dialog->findChild<QTreeWidget*>("devices");
        QTRY_COMPARE_WITH_TIMEOUT(dialog->namesPending(), 0, 5000);
        QCOMPARE(rowTexts(list, 1)[1], QStringLiteral("(no name)"));
    }

private:
    QByteArray readUsbIds() const {
        QFile file(usbIds_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }

    UMockdevTestbed* testbed_ = nullptr;
    QString root_;
    QTemporaryDir home_;
    QString usbIds_;
};

QTEST_MAIN(BoardChooserTest)
#include "test_board_chooser.moc"

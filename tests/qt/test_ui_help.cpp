// What a user reaches for when something goes wrong: the log folder from the
// debug console's menu, and the About box with the versions in use.
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QPlainTextEdit>
#include <QTimer>

#include "app/about_box.h"
#include "app/debug_console.h"
#include "base/debug_log.h"
#include "base/debug_log_file.h"
#include "test_ui_support.h"

namespace {

// Chooses the entry of the popup menu that is about to open, as a click would.
void chooseInNextPopup(const QString& text, QStringList* seen = nullptr) {
    QTimer::singleShot(50, [text, seen] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* action : menu->actions()) {
            if (seen) *seen << action->text();
            if (action->text() == text && action->isEnabled()) {
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        }
        menu->close();
    });
}

void openContextMenu(QWidget* widget) {
    const QPoint at(10, 10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, widget->mapToGlobal(at));
    QCoreApplication::sendEvent(widget, &event);
}

}  // namespace

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

class TestUiHelp : public QObject {
    Q_OBJECT
    std::unique_ptr<TestApp> t;

private Q_SLOTS:
    void init() {
        t = std::make_unique<TestApp>();
        t->start();
    }
    void cleanup() {
        t.reset();
        closeDebugLogFile();
    }

    void consoleMenuOpensTheLogFolder() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        t->control().toggleDebugConsole();
        DebugConsole* console = t->control().debugConsole();

        // No log file: the entry is there but cannot be chosen.
        QStringList entries;
        chooseInNextPopup("Open log folder", &entries);
        openContextMenu(console->viewport());
        QVERIFY(entries.contains("Open log folder"));
        QVERIFY(catcher.opened.isEmpty());

        const QString folder = t->home() + "/state/Wren Capture";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(openDebugLogFile(folder.toStdString()));
        debugPrintf("a line for the report\n");
        chooseInNextPopup("Open log folder");
        openContextMenu(console->viewport());
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.opened.size(), 1);
        QCOMPARE(catcher.opened[0], QUrl::fromLocalFile(folder + "/"));
        QFile log(folder + "/kestrel-capture.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(" a line for the report\n"));
        t->control().toggleDebugConsole();
    }

    void aboutBoxNamesVersionLicenceAndLibraries() {
        setUsbStackVersion([] { return std::string("libusb 9.8.7"); });
        QString shown;
        QTimer::singleShot(300, [&shown] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            shown = box->windowTitle() + "\n" + box->text();
            box->accept();
        });
        chooseInNextPopup("&About Kestrel Capture");
        openContextMenu(&t->control());
        setUsbStackVersion(nullptr);

        const QStringList lines = shown.split('\n');
        QVERIFY2(lines.size() == 8, qPrintable(shown));
        QCOMPARE(lines[0], QString("About Kestrel Capture"));
        QVERIFY(QRegularExpression(R"(^Kestrel Capture \d+\.\d+$)").match(lines[1]).hasMatch());
        QVERIFY(lines[2].contains("GPL-3.0-or-later"));
        QCOMPARE(lines[4], QString("Qt ") + qVersion());
        QVERIFY2(QRegularExpression(R"(^SDL 2\.\d+\.\d+$)").match(lines[5]).hasMatch(), qPrintable(lines[5]));
        QVERIFY2(QRegularExpression(R"(^FFmpeg \S+ \(libavcodec \d+\.\d+\.\d+\)$)").match(lines[6]).hasMatch(),
                 qPrintable(lines[6]));
        QCOMPARE(lines[7], QString("libusb 9.8.7"));
        QCOMPARE(QString::fromStdString(aboutText()).split('\n').last(), QString("USB: simulated board"));
    }
};

QTEST_MAIN(TestUiHelp)
#include "test_ui_help.moc"

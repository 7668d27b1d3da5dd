// What a user reaches for when something goes wrong: the log folder from the
// debug console's menu.
#include <QDesktopServices>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTimer>

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
};

QTEST_MAIN(TestUiHelp)
#include "test_ui_help.moc"

// The status line while no board is there, and once one arrives; on the
// simulated board the program offers no board chooser.
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>

#include "core/link_stats.h"
#include "test_ui_support.h"

class TestUiBoardStatus : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void missingBoardIsReportedUntilOneArrives() {
        TestApp t;
        t.board().unplug();
        t.start();
        QCOMPARE(t.control().statusText(), QStringLiteral("No capture board found."));

        QStringList menuTexts;
        QTimer::singleShot(0, [&menuTexts] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            for (QAction* action : menu->actions()) menuTexts << action->text().remove('&');
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), t.control().mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(&t.control(), &event);
        QCOMPARE(menuTexts, QStringList({"Debug console", "", "Share as camera (PipeWire)", "Camera picture size"}));

        t.board().replug();  // the arrival comes to the UI thread queued
        QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QStringLiteral("Capture board found."), 5000);
        QVERIFY(waitForPaints(3));
    }
};

QTEST_MAIN(TestUiBoardStatus)
#include "test_ui_board_status.moc"

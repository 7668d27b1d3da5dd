// The status line while no board is there, once one arrives, and when the
// board is pulled out and put back; on the simulated board the program
// offers no board chooser.
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>

#include "app/board_status.h"
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
        QCOMPARE(menuTexts, QStringList({"Debug console", "", "Share as camera (PipeWire)", "Camera picture size", "",
                                         "About Kestrel Capture"}));

        t.board().replug();  // the arrival comes to the UI thread queued
        QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QStringLiteral("Capture board found."), 5000);
        QVERIFY(waitForPaints(3));
    }

    void unplugAndReplugAreReported() {
        TestApp t;
        t.start();
        QVERIFY(waitForPaints(3));
        QCOMPARE(t.control().statusText(), QString());
        for (int round = 0; round < 2; ++round) {
            t.board().unplug();
            QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QString::fromStdString(boardUnpluggedText()), 5000);
            t.board().replug();
            QTRY_COMPARE_WITH_TIMEOUT(t.control().statusText(), QStringLiteral("Capture board back."), 5000);
            QVERIFY(waitForPaints(3));
        }
    }
};

QTEST_MAIN(TestUiBoardStatus)
#include "test_ui_board_status.moc"

// Which border the user dragged, and where a window's picture starts in a
// frame (or that it has none in a frame of another display type).
#include <QtTest>
#include <vector>

#include "display/decode.h"
#include "display/qt/window_geometry.h"

Q_DECLARE_METATYPE(SizingEdge)

class TestUiWindowGeometry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void draggedEdge_data() {
        QTest::addColumn<QRect>("after");
        QTest::addColumn<SizingEdge>("edge");
        // Before: 400 x 480 at (100, 50).
        QTest::newRow("left") << QRect(80, 50, 420, 480) << SizingEdge::Left;
        QTest::newRow("right") << QRect(100, 50, 420, 480) << SizingEdge::Right;
        QTest::newRow("top") << QRect(100, 30, 400, 500) << SizingEdge::Top;
        QTest::newRow("bottom") << QRect(100, 50, 400, 500) << SizingEdge::Bottom;
        QTest::newRow("top-left") << QRect(80, 30, 420, 500) << SizingEdge::TopLeft;
        QTest::newRow("top-right") << QRect(100, 30, 420, 500) << SizingEdge::TopRight;
        QTest::newRow("bottom-left") << QRect(80, 50, 420, 500) << SizingEdge::BottomLeft;
        QTest::newRow("bottom-right") << QRect(100, 50, 420, 500) << SizingEdge::BottomRight;
        QTest::newRow("shrunk from the left") << QRect(120, 50, 380, 480) << SizingEdge::Left;
    }
    void draggedEdge() {
        QFETCH(QRect, after);
        QFETCH(SizingEdge, edge);
        QCOMPARE(inferSizingEdge(QRect(100, 50, 400, 480), after), edge);
    }

    void pictureStartByModeAndImage() {
        std::vector<uint32_t> image(400 * 480);
        FrameBuffer frame;
        frame.displayImage = image.data();
        frame.layout = displayTypeTable[1];
        const uint32_t* base = image.data();
        QCOMPARE(pictureStart(frame, kModeJoined, 400, 480), base);
        QCOMPARE(pictureStart(frame, kModeTop, 400, 240), base);
        QCOMPARE(pictureStart(frame, kModeBottom, 320, 240), base + 96040);
        QCOMPARE(pictureStart(frame, kModeStereo, 800, 480), nullptr);
        QCOMPARE(pictureStart(frame, kModeVision, 400, 480), nullptr);

        // A frame still decoded for "DS (1:1)" is too small for a 2D window.
        frame.layout = displayTypeTable[6];
        QCOMPARE(pictureStart(frame, kModeJoined, 400, 480), nullptr);
        QCOMPARE(pictureStart(frame, kModeBottom, 320, 240), nullptr);
        frame.displayImage = nullptr;  // never decoded
        QCOMPARE(pictureStart(frame, kModeJoined, 256, 384), nullptr);
    }
};

QTEST_MAIN(TestUiWindowGeometry)
#include "test_ui_window_geometry.moc"

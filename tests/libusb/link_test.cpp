// The device link through libusb's Linux backend and the emulated board.
#include "libusb/libusb_fixture.h"

namespace {

TEST_F(LibusbBoardTest, FindsOpensAndStreams) {
    start();
    const auto paths = backend->enumerate(deviceInterfaceGuid);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], "usb:1-2:1209:4b43");
    ASSERT_TRUE(kestrelDevice.open(nullptr)) << debug.text();
    EXPECT_EQ(kestrelDevice.openState, Streaming);
    FrameStorage buffer;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(kestrelDevice.readFrame(&buffer.frame), FRAME_OK) << debug.text();
}

}  // namespace

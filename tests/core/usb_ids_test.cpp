// The "usb-ids" list that tells the libusb backend which devices are boards.
#include <gtest/gtest.h>

#include "usb/usb_ids.h"

namespace {

TEST(UsbIds, ReadsPairsAndIgnoresEverythingElse) {
    const char* text =
        "# capture boards\n"
        "1d50:60a1\n"
        "  ABCD:0001   # upper case, spaces around\n"
        "\n"
        "12345:0001\n"   // vendor too long
        "1d50\n"         // no product
        "1d50:xyz1\n"    // not hex
        ":0001\n"
        "0403:6014\r\n"  // written on another system
        "f:f";           // short ids, no final newline
    const std::vector<usb::UsbId> expected = {
        {0x1d50, 0x60a1}, {0xabcd, 0x0001}, {0x0403, 0x6014}, {0x000f, 0x000f}};
    EXPECT_EQ(usb::parseUsbIds(text), expected);
    EXPECT_TRUE(usb::parseUsbIds("").empty());
    EXPECT_TRUE(usb::parseUsbIds("# nothing\n\n").empty());
}

}  // namespace

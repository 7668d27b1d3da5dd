// The libusb tests need umockdev's preload library in the process: without
// it, the program runs itself again with it (the tests skip, saying why,
// when that is not possible).
#include <gtest/gtest.h>

#include "usbemu/usbdevfs_board.h"

int main(int argc, char** argv) {
    usbemu::runUnderUmockdev(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

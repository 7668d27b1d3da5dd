// The udev rule text made from the rule template, and adding a pair to usb-ids.
#include <gtest/gtest.h>

#include <algorithm>

#include "usb/usb_ids.h"
#include "usb/udev_rule.h"

namespace {

TEST(UsbIds, AddsAPairOnceKeepingTheRest) {
    struct Case {
        const char* before;
        usb::UsbId id;
        const char* after;
    };
    const Case cases[] = {
        {"", {0x1d50, 0x60a1}, "1d50:60a1\n"},
        {"# boards\n0403:6014", {0x000f, 0xabcd}, "# boards\n0403:6014\n000f:abcd\n"},  // no final newline
        {"ABCD:0001  # mine\n", {0xabcd, 0x0001}, "ABCD:0001  # mine\n"},              // listed in another case
        {"# 1234:5678\n", {0x1234, 0x5678}, "# 1234:5678\n1234:5678\n"},               // only a comment
        {"0403:6014\r\n", {0x0403, 0x6014}, "0403:6014\r\n"},
    };
    for (const Case& c : cases) {
        const std::string after = usb::withUsbId(c.before, c.id);
        EXPECT_EQ(after, c.after) << "before: " << c.before;
        // Whatever was listed stays listed, and the new pair reads back once.
        const std::vector<usb::UsbId> ids = usb::parseUsbIds(after);
        EXPECT_EQ(std::count(ids.begin(), ids.end(), c.id), 1);
    }
}

TEST(UdevRule, FillsEveryRuleLineOfTheTemplatePerPair) {
    const char* ruleTemplate =
        "# Replace VENDOR and PRODUCT with the board's ids.\n"
        "\n"
        "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"VENDOR\", ATTRS{idProduct}==\"PRODUCT\", TAG+=\"uaccess\"\r\n"
        "  # indented comment\n"
        "KERNEL==\"VENDOR-PRODUCT\"";  // a second line, no final newline
    EXPECT_EQ(usb::udevRuleFor(ruleTemplate, {{0x1D50, 0x00a1}, {0x0403, 0x6014}}),
              "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1d50\", ATTRS{idProduct}==\"00a1\", TAG+=\"uaccess\"\n"
              "KERNEL==\"1d50-00a1\"\n"
              "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6014\", TAG+=\"uaccess\"\n"
              "KERNEL==\"0403-6014\"\n");
    EXPECT_EQ(usb::udevInstallCommands("RULE VENDOR:PRODUCT\n", {{0x1234, 0xabcd}}),
              "sudo tee /etc/udev/rules.d/70-kestrel-capture.rules >/dev/null <<'EOF'\n"
              "RULE 1234:abcd\n"
              "EOF\n"
              "sudo udevadm control --reload-rules && sudo udevadm trigger\n");
}

}  // namespace

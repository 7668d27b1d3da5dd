#pragma once
// The udev rule that lets the user at the seat open a capture board, made
// from the rule template (resources/udev/70-kestrel-capture.rules.in), and
// the shell commands that install it.
#include <string>
#include <string_view>
#include <vector>

#include "usb/usb_ids.h"

namespace usb {

// Where the installed rule lives.
constexpr const char* kUdevRulePath = "/etc/udev/rules.d/70-kestrel-capture.rules";

// The template's rule lines (comments and blank lines dropped) with VENDOR and
// PRODUCT replaced by each pair's ids, four lower-case hex digits each: one
// block of rule lines per pair, every line ending in '\n'.
std::string udevRuleFor(std::string_view ruleTemplate, const std::vector<UsbId>& ids);

// Commands for a shell that write those rules to kUdevRulePath and make udev
// apply them; the board is to be plugged in again afterwards.
std::string udevInstallCommands(std::string_view ruleTemplate, const std::vector<UsbId>& ids);

}  // namespace usb

#include "usb/udev_rule.h"

namespace usb {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

std::string udevRuleFor(std::string_view ruleTemplate, const std::vector<UsbId>& ids) {
    std::string rules;
    for (const UsbId& id : ids) {
        const std::string pair = formatUsbId(id);
        const std::string_view vendor = std::string_view(pair).substr(0, 4);
        const std::string_view product = std::string_view(pair).substr(5, 4);
        std::string_view rest = ruleTemplate;
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            std::string line(detail::trim(rest.substr(0, end)));
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
            if (line.empty() || line[0] == '#') continue;
            replaceAll(line, "VENDOR", vendor);
            replaceAll(line, "PRODUCT", product);
            rules += line;
            rules += '\n';
        }
    }
    return rules;
}

std::string udevInstallCommands(std::string_view ruleTemplate, const std::vector<UsbId>& ids) {
    // A quoted here-document: the shell takes the rule text literally.
    std::string commands = "sudo tee ";
    commands += kUdevRulePath;
    commands += " >/dev/null <<'EOF'\n";
    commands += udevRuleFor(ruleTemplate, ids);
    commands += "EOF\n";
    commands += "sudo udevadm control --reload-rules && sudo udevadm trigger\n";
    return commands;
}

}  // namespace usb

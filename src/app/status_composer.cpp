#include "app/status_composer.h"

std::string StatusComposer::message(const std::string& text, bool recording, uint64_t nowMs) {
    message_ = text;
    messageAt_ = nowMs;
    if (!recording || recording_.empty()) return text;
    return compose(nowMs);
}

std::string StatusComposer::recording(const std::string& text, uint64_t nowMs) {
    recording_ = text;
    return compose(nowMs);
}

std::string StatusComposer::compose(uint64_t nowMs) const {
    if (message_.empty() || nowMs - messageAt_ >= kHoldMs) return recording_;
    return recording_ + "\n" + message_;
}

#include "firmware/update_failure.h"

#include <mutex>
#include <utility>

namespace {
std::mutex textMutex;
std::string failureText;  // guarded by textMutex
}  // namespace

void setUpdateFailureText(std::string text) {
    std::lock_guard<std::mutex> lock(textMutex);
    failureText = std::move(text);
}

std::string takeUpdateFailureText() {
    std::lock_guard<std::mutex> lock(textMutex);
    return std::exchange(failureText, std::string());
}

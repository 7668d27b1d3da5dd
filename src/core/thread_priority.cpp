#include "core/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/debug_log.h"

namespace {
std::atomic<PriorityServiceHook> serviceHook{nullptr};
// Written by the reader at its start, read by the UI when the console opens.
std::mutex resultMutex;
std::string result;
}  // namespace

void setPriorityServiceHook(PriorityServiceHook hook) { serviceHook.store(hook); }

void raiseReaderPriority() {
    const pid_t tid = gettid();
    std::string got;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kReaderNice) == 0) {
        got = "nice " + std::to_string(kReaderNice) + " (setpriority)";
    } else {
        std::string why = std::string("setpriority: ") + std::strerror(errno);
        std::string refusal = "no priority service";
        if (PriorityServiceHook hook = serviceHook.load()) got = hook(tid, kReaderNice, &refusal);
        if (got.empty()) got = "normal (" + why + "; " + refusal + ")";
    }
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        result = got;
    }
    debugPrintf("reader priority: %s\n", got.c_str());
}

std::string readerPriority() {
    std::lock_guard<std::mutex> lock(resultMutex);
    return result;
}

void forgetReaderPriority() {
    std::lock_guard<std::mutex> lock(resultMutex);
    result.clear();
}

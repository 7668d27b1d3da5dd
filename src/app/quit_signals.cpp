#include "app/quit_signals.h"

#include <fcntl.h>
#include <cerrno>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

bool QuitSignals::catchEarly() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction action = {};
    action.sa_handler = ::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

QuitSignals::QuitSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    if (!catchEarly()) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        onSignal_();
    });
}

QuitSignals::~QuitSignals() {
    // A second signal during the shutdown that follows ends the program.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

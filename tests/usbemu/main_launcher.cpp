// Runs a program against the emulated capture board: the board model and its
// usbdevfs node live here, the program runs as a child whose libusb finds the
// board through umockdev's preload library. Nothing of the emulation is
// inside the program itself.
//
//   kestrel-usb-launcher [--old-firmware] [--unplug-after S] [--replug-after S] -- program [args...]
//
// --old-firmware makes the board report firmware 5.0, so the program starts
// with the firmware update. SIGUSR1 pulls the board out, SIGUSR2 plugs it in
// again. The launcher exits with the child's status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "usb/sim/sim_board.h"
#include "usbemu/usbdevfs_board.h"

namespace {

std::atomic<int> plugRequest{0};  // 1 = unplug, 2 = replug
volatile sig_atomic_t childPid = 0;

void onSignal(int signal) { plugRequest = signal == SIGUSR1 ? 1 : 2; }
// Ending the launcher ends the program it runs.
void onStop(int signal) {
    if (childPid > 0) kill(childPid, signal);
}

int usage() {
    std::fprintf(stderr,
                 "usage: kestrel-usb-launcher [--old-firmware] [--unplug-after S] [--replug-after S] -- program "
                 "[args...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The testbed's uevents are sent from the board's side too, which must
    // see the testbed's /sys: the launcher itself runs under the preload.
    usbemu::runUnderUmockdev(argv);
    bool oldFirmware = false;
    double unplugAfter = -1, replugAfter = -1;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--old-firmware") {
            oldFirmware = true;
        } else if (a == "--unplug-after" && i + 1 < argc) {
            unplugAfter = std::atof(argv[++i]);
        } else if (a == "--replug-after" && i + 1 < argc) {
            replugAfter = std::atof(argv[++i]);
        } else {
            return usage();
        }
    }
    if (i >= argc) return usage();

    usb::BoardModel model;
    model.flash().loadFactoryContent(4);
    model.flash().setTimeScale(0.05);  // an update in seconds rather than a minute
    if (oldFirmware) model.setConfig(4, 5, 0, 0);
    usbemu::UsbdevfsBoard board(model);

    struct sigaction action {};
    action.sa_handler = onSignal;  // no SA_RESTART: waitpid returns to look at the request
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    const pid_t child = fork();
    if (child < 0) return std::perror("fork"), 1;
    if (child == 0) {
        std::string preload = "libumockdev-preload.so.0";
        if (const char* old = std::getenv("LD_PRELOAD"); old && *old && !std::strstr(old, "libumockdev-preload"))
            preload += std::string(":") + old;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        usbemu::allowPreloadBeforeSanitizer();
        setenv("UMOCKDEV_DIR", board.rootDir().c_str(), 1);
        unsetenv("KESTREL_USBEMU_AGAIN");
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execvp(argv[i], argv + i);
        std::perror(argv[i]);
        _exit(127);
    }
    childPid = child;
    std::fprintf(stderr, "kestrel-usb-launcher: emulated board 1209:4b43 at %s, program pid %d\n",
                 board.rootDir().c_str(), child);

    const auto started = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return std::perror("waitpid"), 1;
        if (unplugAfter >= 0 && seconds() >= unplugAfter) plugRequest = 1, unplugAfter = -1;
        if (replugAfter >= 0 && seconds() >= replugAfter && unplugAfter < 0) plugRequest = 2, replugAfter = -1;
        switch (plugRequest.exchange(0)) {
            case 1:
                std::fprintf(stderr, "kestrel-usb-launcher: board pulled out\n");
                model.unplug();
                break;
            case 2:
                std::fprintf(stderr, "kestrel-usb-launcher: board plugged in\n");
                model.replug();
                break;
            default: break;
        }
        usleep(50000);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

#pragma once
// A program a test starts and always stops: spawned with extra environment
// variables, its output sent to a file, killed (SIGTERM, then SIGKILL) when
// the object goes unless it has already been waited for.
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

using Environment = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is looked up in PATH; output (stdout and stderr) goes to
    // `output` ("" for /dev/null). False when it could not start.
    bool start(const std::vector<std::string>& argv, const Environment& extra, const std::string& output = {});
    // True while it runs.
    bool running();
    // Waits up to `ms` for it to end; its exit status (or -signal), or
    // INT32_MIN when it is still running.
    int wait(int ms);
    // Sends a signal (no waiting).
    void signal(int number);
    // SIGTERM, up to `graceMs`, then SIGKILL; reaps it.
    void stop(int graceMs = 2000);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

// Whether a program of that name is in PATH.
bool programExists(const std::string& name);
// The environment with the extra variables set over it.
std::vector<std::string> mergedEnvironment(const Environment& extra);
// Runs a program to its end (up to timeoutMs) and returns its standard output.
std::string runForOutput(const std::vector<std::string>& argv, const Environment& extra, int timeoutMs,
                         int* status = nullptr);

#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

std::vector<std::string> mergedEnvironment(const Environment& extra) {
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [key, value] : extra) replaced = replaced || key == name;
        if (!replaced) result.push_back(entry);
    }
    for (const auto& [key, value] : extra) result.push_back(key + "=" + value);
    return result;
}

bool programExists(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) return true;
    return false;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const Environment& extra, const std::string& output) {
    stop();
    std::vector<std::string> env = mergedEnvironment(extra);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string target = output.empty() ? "/dev/null" : output;
    posix_spawn_file_actions_addopen(&actions, 1, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Its own process group, so a terminal's Ctrl+C reaches only the test.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int res = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (res != 0) return false;
    pid_ = pid;
    ended_ = false;
    return true;
}

int ChildProcess::wait(int ms) {
    if (pid_ < 0) return INT32_MIN;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ended_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            ended_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= until) return ended_ ? status_ : INT32_MIN;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool ChildProcess::running() { return pid_ >= 0 && wait(0) == INT32_MIN; }

void ChildProcess::signal(int number) {
    if (pid_ >= 0 && !ended_) ::kill(pid_, number);
}

void ChildProcess::stop(int graceMs) {
    if (pid_ < 0) return;
    if (!ended_) {
        ::kill(pid_, SIGTERM);
        if (wait(graceMs) == INT32_MIN) {
            ::kill(pid_, SIGKILL);
            wait(5000);
        }
    }
    pid_ = -1;
}

std::string runForOutput(const std::vector<std::string>& argv, const Environment& extra, int timeoutMs, int* status) {
    char pattern[] = "/tmp/kc-output-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) return {};
    close(fd);
    ChildProcess child;
    int result = INT32_MIN;
    if (child.start(argv, extra, pattern)) result = child.wait(timeoutMs);
    child.stop();
    if (status) *status = result;
    std::ifstream file(pattern);
    std::stringstream text;
    text << file.rdbuf();
    unlink(pattern);
    return text.str();
}

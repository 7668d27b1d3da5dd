#include "support/private_pipewire.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

double sinceMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

PrivatePipeWire::PrivatePipeWire() {
    char pattern[] = "/tmp/kc-pipewire-XXXXXX";
    if (const char* made = mkdtemp(pattern)) folder_ = made;
}

PrivatePipeWire::~PrivatePipeWire() {
    stop();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string PrivatePipeWire::missingPrograms() {
    std::string missing;
    for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "pw-dump", "pw-record",
                             "gst-launch-1.0"})
        if (!programExists(name)) missing += std::string(missing.empty() ? "" : ", ") + name;
    return missing;
}

bool PrivatePipeWire::start(std::string* error) {
    if (folder_.empty()) {
        *error = "no temporary folder";
        return false;
    }
    const std::string runtime = folder_ + "/runtime";
    mkdir(runtime.c_str(), 0700);
    mkdir((folder_ + "/config").c_str(), 0700);
    mkdir((folder_ + "/state").c_str(), 0700);
    const auto started = std::chrono::steady_clock::now();
    const std::string busAddress = "unix:path=" + folder_ + "/bus";
    environment_ = {{"XDG_RUNTIME_DIR", runtime},
                    {"XDG_CONFIG_HOME", folder_ + "/config"},
                    {"XDG_STATE_HOME", folder_ + "/state"},
                    {"DBUS_SESSION_BUS_ADDRESS", busAddress},
                    {"PIPEWIRE_RUNTIME_DIR", runtime}};
    if (!bus_.start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + busAddress},
                    environment_, folder_ + "/bus.log")) {
        *error = "dbus-daemon did not start";
        return false;
    }
    // The bus's socket exists once it listens.
    for (int i = 0; i < 500 && access((folder_ + "/bus").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!startDaemons(error)) return false;
    startMs_ = sinceMs(started);
    return true;
}

bool PrivatePipeWire::startDaemons(std::string* error) {
    const auto started = std::chrono::steady_clock::now();
    if (!daemon_.start({"pipewire"}, environment_, folder_ + "/pipewire.log")) {
        *error = "pipewire did not start";
        return false;
    }
    for (int i = 0; i < 1000 && access((folder_ + "/runtime/pipewire-0").c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!session_.start({"wireplumber"}, environment_, folder_ + "/wireplumber.log")) {
        *error = "wireplumber did not start";
        return false;
    }
    // Ready when the session manager's client shows in the graph.
    while (sinceMs(started) < 10000) {
        if (!daemon_.running()) break;
        int status = 0;
        const std::string clients = runForOutput({"pw-cli", "ls", "Client"}, environment_, 3000, &status);
        if (status == 0 && clients.find("WirePlumber") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *error = "PipeWire did not become ready: " + readFile(folder_ + "/pipewire.log") +
             readFile(folder_ + "/wireplumber.log");
    return false;
}

void PrivatePipeWire::kill() {
    daemon_.signal(SIGKILL);
    session_.signal(SIGKILL);
    daemon_.stop();
    session_.stop();
    unlink((folder_ + "/runtime/pipewire-0").c_str());
    unlink((folder_ + "/runtime/pipewire-0.lock").c_str());
}

bool PrivatePipeWire::restart(std::string* error) {
    const auto started = std::chrono::steady_clock::now();
    const bool ok = startDaemons(error);
    startMs_ = sinceMs(started);
    return ok;
}

void PrivatePipeWire::stop() {
    session_.stop();
    daemon_.stop();
    bus_.stop();
}

bool PrivatePipeWire::hasNode(const std::string& name) {
    int status = 0;
    const std::string nodes = runForOutput({"pw-cli", "ls", "Node"}, environment_, 3000, &status);
    return status == 0 && nodes.find("\"" + name + "\"") != std::string::npos;
}

bool PrivatePipeWire::waitForNode(const std::string& name, int ms) {
    const auto started = std::chrono::steady_clock::now();
    do {
        if (hasNode(name)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (sinceMs(started) < ms);
    return false;
}

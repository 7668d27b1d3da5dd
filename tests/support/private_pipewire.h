#pragma once
// A private PipeWire for one test program: a session bus of its own, the
// pipewire daemon and the wireplumber session manager, all in a temporary
// runtime folder, so nothing of the desktop's own PipeWire is seen or
// touched. Everything started is stopped (and the folder removed) when the
// object goes. environment() is what clients need to reach it.
#include <string>

#include "support/child_process.h"

class PrivatePipeWire {
public:
    PrivatePipeWire();
    ~PrivatePipeWire();

    // The programs a private PipeWire needs, or "" when they are all there.
    static std::string missingPrograms();

    // Starts bus, daemon and session manager and waits until the session
    // manager has joined (up to 10 s). False with the reason.
    bool start(std::string* error);
    // Kills the daemon and the session manager at once, as a crash would.
    void kill();
    // Starts them again after kill() (the bus stays).
    bool restart(std::string* error);
    void stop();

    const Environment& environment() const { return environment_; }
    const std::string& folder() const { return folder_; }
    // How long the last start took until ready (ms).
    double startMs() const { return startMs_; }
    // Whether a node of that name is in the graph now.
    bool hasNode(const std::string& name);
    // Waits up to `ms` for the node.
    bool waitForNode(const std::string& name, int ms);

private:
    bool startDaemons(std::string* error);

    std::string folder_;
    Environment environment_;
    ChildProcess bus_, daemon_, session_;
    double startMs_ = 0;
};

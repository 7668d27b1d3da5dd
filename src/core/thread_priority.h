#pragma once
// The reader thread's priority: above normal when the system lets the
// program raise it itself, else as granted by the system's priority service
// (the app installs a hook that asks it over D-Bus); normal otherwise.
#include <sys/types.h>

#include <string>

// Asks the priority service to raise thread tid of this process to the nice
// level wanted (or to the nearest level it allows). Returns what was
// granted, e.g. "nice -2 (RealtimeKit)", or "" when the service refused or
// is absent, with why in *refusal. Runs on the reader thread; may block for
// the service's answer (bounded by its own time-out).
using PriorityServiceHook = std::string (*)(pid_t tid, int wantedNice, std::string* refusal);
// UI thread, before the capture core starts; nullptr removes it.
void setPriorityServiceHook(PriorityServiceHook hook);

// The nice level the reader asks for: above normal, as the board wants its
// data fetched promptly.
constexpr int kReaderNice = -2;

// On the reader thread at its start: setpriority, then the service. Prints
// and keeps what the thread got.
void raiseReaderPriority();
// What the reader got, e.g. "nice -2 (setpriority)"; "" before the reader ran.
std::string readerPriority();
// Before a new reader starts: it has not got anything yet.
void forgetReaderPriority();

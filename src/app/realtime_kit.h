#pragma once
// The system's priority service (RealtimeKit, org.freedesktop.RealtimeKit1 on
// the system bus) as the capture core's priority hook: it raises a thread
// for a program that may not raise it itself, within the limits it states.
#include <sys/types.h>

#include <string>

// A PriorityServiceHook (core/thread_priority.h): a raised nice level first
// (no higher than the service's MinNiceLevel allows), else the lowest
// real-time priority, with RLIMIT_RTTIME set within the service's
// RTTimeUSecMax as it requires. "" with the reason when neither is granted.
std::string askRealtimeKit(pid_t tid, int wantedNice, std::string* refusal);

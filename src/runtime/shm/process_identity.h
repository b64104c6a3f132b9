// Telling one process from another when a pid alone cannot: a pid is given
// to a new process once the old one has been reaped. A pidfd names one
// process for as long as it is held, and the start time read from /proc
// tells whether the process now behind a pid is the one a message came
// from.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace vr::shm {

// The start time of `pid` (clock ticks after boot), and whether it has
// ended (a zombie); 0 when it cannot be read (no such process).
uint64_t start_time_of(pid_t pid, bool& ended);

// This process's start time, `self` being its pid (read once per process).
uint64_t own_start_time(pid_t self);

// A pidfd of `pid` (close-on-exec), or -1 (no such process, or no pidfds).
int open_pidfd(pid_t pid);

// Whether the process of `pidfd` has ended (it may not be reaped yet).
bool has_ended(int pidfd);

// Whether the process of `pidfd` has ended, as last seen (`ended`, at
// `looked`): its pidfd is asked again whenever `exact`, otherwise at most
// once a millisecond. The paths that run for every message ask that way (a
// system call each otherwise): a process that ended meanwhile is seen by
// the keeper, which watches the pidfd, and its leavings go with it.
bool ended_as_seen(int pidfd, bool& ended, double& looked, bool exact);

// Waits up to `seconds` for the process of `pidfd` to end; whether it has.
// Blocks: call it without the interpreter lock.
bool ends_within(int pidfd, double seconds);

// A pidfd of `pid` known to be the process that started at `start_time`, or
// -1 when that process has ended (the pid may belong to another one now).
int open_pidfd_of(pid_t pid, uint64_t start_time);

// Whether `reader` will be allowed to open this process's descriptors, as
// the kernel checks it before pidfd_getfd and /proc/<pid>/fd (same user and
// group, no capability that it lacks, this process dumpable).
bool may_open_ours(pid_t reader);

// Seconds on the monotonic clock.
double now_seconds();

}  // namespace vr::shm

// Clock, time zone, disk space, process identity: the small system facts the server reads.
// Thread-safe; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

// Milliseconds of a monotonic clock (since boot); only differences are meaningful.
uint64_t TickCount();

// Seconds since the epoch.
time_t Now();

// Local broken-down time of `t`.
std::tm LocalTime(time_t t);

// Seconds since the epoch of the local broken-down time `*local` (normalised in place, as mktime
// does); -1 when it cannot be represented.
time_t MakeLocalTime(std::tm* local);

// Offset of local standard time from UTC in minutes, east positive (daylight saving not
// applied, as the system's date headers expect).
long StandardUtcOffsetMinutes();

// Free bytes available to the server on the file system holding `path`; -1 on failure.
int64_t FreeDiskSpace(const std::string& path);

void SleepMilliseconds(unsigned ms);

// Fills `size` bytes from the kernel's random source (getrandom). 0, or -1 when it failed.
int RandomBytes(void* buffer, size_t size);

// The published "thread id" of a process is its process id.
long CurrentProcessId();

// True when a process with this id exists.
bool ProcessAlive(long id);

// "Linux.<major>.<minor>.<patch>" from the running kernel.
std::string PlatformString();

}  // namespace platform

namespace platform {
// The TCP port of a service in the services database ("pop3", "smtp"), or `fallback`.
int ServicePort(const char* name, int fallback);
}  // namespace platform

#include "platform/system.h"

#include <signal.h>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace platform {

uint64_t TickCount() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

time_t Now() { return ::time(nullptr); }

namespace {
// The C library's zone state (the zone globals and the rules it loads) is rewritten by tzset and
// loaded on first use by localtime_r and mktime. Every call here that touches it holds this lock,
// so that no thread reads the zone while another replaces it.
std::mutex& ZoneMutex() {
  static std::mutex zoneMutex;
  return zoneMutex;
}
}  // namespace

std::tm LocalTime(time_t t) {
  std::tm out{};
  std::lock_guard<std::mutex> lock(ZoneMutex());
  ::localtime_r(&t, &out);
  return out;
}

time_t MakeLocalTime(std::tm* local) {
  std::lock_guard<std::mutex> lock(ZoneMutex());
  return ::mktime(local);
}

long StandardUtcOffsetMinutes() {
  std::lock_guard<std::mutex> lock(ZoneMutex());
  ::tzset();  // cheap when TZ is unchanged; picks up a changed zone
  return -::timezone / 60;
}

int64_t FreeDiskSpace(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

void SleepMilliseconds(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int RandomBytes(void* buffer, size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool ProcessAlive(long id) {
  if (id <= 0) return false;
  return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

std::string PlatformString() {
  struct utsname u;
  int major = 0, minor = 0, patch = 0;
  if (::uname(&u) == 0) std::sscanf(u.release, "%d.%d.%d", &major, &minor, &patch);
  return "Linux." + std::to_string(major) + "." + std::to_string(minor) + "." +
         std::to_string(patch);
}

}  // namespace platform

#include <netdb.h>
#include <arpa/inet.h>

namespace platform {
int ServicePort(const char* name, int fallback) {
  servent entry;
  servent* found = nullptr;
  char buf[1024];
  if (::getservbyname_r(name, "tcp", &entry, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return fallback;
  }
  return ntohs(static_cast<uint16_t>(found->s_port));
}
}  // namespace platform

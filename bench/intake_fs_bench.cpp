// The file-system cost of taking one SMTP message into INQUEUE, without the server: the same
// system calls on the same names and sizes as the intake makes them, in an empty directory and in
// one that already holds many waiting items, alternating between the two so that the load of the
// machine falls on both alike.
//
// Per message: four lookups of the free candidate's spellings (R/r, TMP/tmp), the envelope
// reserved (created exclusively, closed), the busy marker made under a hidden name (exclusive,
// locked) and renamed to "B<n>.TMP", the message "M<n>.TMP" created and written (2.2 KB), the
// envelope opened and written (about 150 bytes), message and envelope synced, the directory
// synced, both closed, the marker removed.
//
// Usage: intake_fs_bench WORKDIR MESSAGES WAITING [ROUNDS]
//   WORKDIR gets "small/" (starts empty) and "full/" (starts with WAITING items, 2 files each).
//   MESSAGES are taken into each directory, in ROUNDS (default 10) alternating batches.
// Prints, per directory, the rate of each batch and the median time of each step.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

std::string Name(char letter, long n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%c%07ld.TMP", letter, n);
  return buf;
}

void WriteAll(int fd, const std::string& text, const std::string& what) {
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) Fail(what);
}

double Now() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

enum Step {
  kLookup,
  kReserve,
  kMarker,
  kMessage,
  kEnvelope,
  kSyncMessage,
  kSyncEnvelope,
  kSyncDir,
  kRelease,
  kSteps
};
const char* const kStepNames[kSteps] = {"lookup x4", "reserve", "marker",    "message", "envelope",
                                        "fsync M",   "fsync R", "fsync dir", "release"};

struct Queue {
  std::string dir;
  long next = 0;
  std::vector<double> rates;
  std::vector<double> steps[kSteps];
};

const std::string kMessageText = [] {
  std::string m =
      "X-IStatus:00000000000000000003\r\nReceived: from 127.0.0.1 by example.test\r\n"
      "          id 1; Mon, 07 Dec 2026 06:00:00 +0000\r\n"
      "From: zoe@far.test\r\nTo: user1@example.test\r\nSubject: rate\r\n\r\n";
  while (m.size() < 2200) m += std::string(74, 'x') + "\r\n";
  return m;
}();
const std::string kEnvelopeText =
    "[From]\r\nFrom=sender@remote.test\r\nSubject=rate\r\nIniDate=07/12/2026 06:00:00\r\n"
    "[To]\r\nn=1\r\n0=user1@example.test\r\n";

void TakeOne(Queue& q) {
  double t[kSteps + 1];
  int k = 0;
  t[k++] = Now();
  long n = q.next++;
  const char* spellings[4] = {"R%07ld.TMP", "r%07ld.tmp", "R%07ld.tmp", "r%07ld.TMP"};
  for (const char* s : spellings) {
    char name[32];
    std::snprintf(name, sizeof name, s, n);
    struct stat st;
    if (::lstat((q.dir + "/" + name).c_str(), &st) == 0) Fail("candidate exists");
  }
  t[k++] = Now();
  std::string r = q.dir + "/" + Name('R', n), m = q.dir + "/" + Name('M', n),
              b = q.dir + "/" + Name('B', n);
  {
    Fd reserve(::open(r.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!reserve) Fail("reserve " + r);
  }
  t[k++] = Now();
  std::string hidden = q.dir + "/.~" + Name('B', n) + "." + std::to_string(::getpid()) + ".0";
  Fd marker(::open(hidden.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!marker || ::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) Fail("marker");
  if (::rename(hidden.c_str(), b.c_str()) != 0) Fail("rename marker");
  t[k++] = Now();
  Fd message(::open(m.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!message) Fail("message");
  WriteAll(message.get(), kMessageText, "write message");
  t[k++] = Now();
  Fd envelope(::open(r.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!envelope) Fail("envelope");
  WriteAll(envelope.get(), kEnvelopeText, "write envelope");
  t[k++] = Now();
  if (::fsync(message.get()) != 0) Fail("fsync message");
  t[k++] = Now();
  if (::fsync(envelope.get()) != 0) Fail("fsync envelope");
  t[k++] = Now();
  {
    Fd dir(::open(q.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || ::fsync(dir.get()) != 0) Fail("fsync directory");
  }
  t[k++] = Now();
  if (::unlink(b.c_str()) != 0) Fail("unlink marker");
  t[k++] = Now();
  for (int i = 0; i < kSteps; ++i) q.steps[i].push_back(t[i + 1] - t[i]);
}

void Fill(const std::string& dir, long waiting) {
  if (::mkdir(dir.c_str(), 0700) != 0) Fail("mkdir " + dir);
  for (long i = 0; i < waiting; ++i) {
    for (auto [letter, text] : {std::pair{'R', &kEnvelopeText}, std::pair{'M', &kMessageText}}) {
      Fd f(::open((dir + "/" + Name(letter, i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      if (!f) Fail("fill");
      WriteAll(f.get(), *text, "fill");
    }
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: intake_fs_bench WORKDIR MESSAGES WAITING [ROUNDS]\n");
    return 2;
  }
  std::string work = argv[1];
  long messages = std::atol(argv[2]), waiting = std::atol(argv[3]);
  int rounds = argc > 4 ? std::atoi(argv[4]) : 10;
  if (messages <= 0 || waiting < 0 || rounds <= 0) return 2;
  Queue queues[2];
  queues[0].dir = work + "/small";
  queues[1].dir = work + "/full";
  Fill(queues[0].dir, 0);
  Fill(queues[1].dir, waiting);
  queues[1].next = waiting;
  ::sync();
  for (int round = 0; round < rounds; ++round) {
    long batch = messages / rounds + (round < messages % rounds ? 1 : 0);
    for (int i = 0; i < 2; ++i) {
      Queue& q = queues[(round + i) % 2];  // the first of each round alternates
      double start = Now();
      for (long j = 0; j < batch; ++j) TakeOne(q);
      q.rates.push_back(batch / ((Now() - start) / 1e6));
    }
  }
  for (const Queue& q : queues) {
    std::vector<double> sorted = q.rates;
    std::sort(sorted.begin(), sorted.end());
    std::printf("%s (%ld items at the end): %.1f msg/s median, range %.1f..%.1f over %d batches\n",
                q.dir.c_str(), q.next, Median(q.rates), sorted.front(), sorted.back(), rounds);
    std::printf("  median us:");
    for (int i = 0; i < kSteps; ++i) std::printf(" %s %.0f;", kStepNames[i], Median(q.steps[i]));
    std::printf("\n  mean us:  ");
    for (int i = 0; i < kSteps; ++i) {
      double sum = 0;
      for (double v : q.steps[i]) sum += v;
      std::printf(" %s %.0f;", kStepNames[i], sum / q.steps[i].size());
    }
    std::printf("\n");
  }
  return 0;
}

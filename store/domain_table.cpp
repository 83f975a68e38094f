#include "store/domain_table.h"

#include "store/store_paths.h"

#include <cctype>
#include <cstdio>

#include "platform/fs.h"
#include "platform/text.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"

namespace store {
namespace {

using platform::EqualNoCase;

std::string Cut(std::string s, size_t max) {
  if (s.size() > max) s.resize(max);
  return s;
}

}  // namespace

DomainRecord ParseDomainRecord(const std::string& line) {
  std::vector<std::string> f;
  size_t pos = 0;
  while (true) {
    size_t colon = line.find(':', pos);
    f.push_back(line.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos));
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  DomainRecord r;
  auto at = [&](size_t i) { return i < f.size() ? f[i] : std::string(); };
  r.name = Cut(at(0), 127);
  r.route = Cut(at(1), 127);
  r.queueDir = Cut(at(2), 127);
  r.caller = Cut(at(3), 31);
  if (f.size() > 4) r.port = static_cast<unsigned>(platform::ParseDecimal(f[4]));
  if (f.size() > 5) r.timerRuns = static_cast<int>(platform::ParseDecimal(f[5]));
  if (f.size() > 6) r.held = static_cast<int>(platform::ParseDecimal(f[6]));
  if (f.size() > 7) r.sizeLimit = platform::ParseDecimal(f[7]);
  if (f.size() > 8) r.etrn = static_cast<int>(platform::ParseDecimal(f[8]));
  return r;
}

std::string FormatDomainRecord(const DomainRecord& r) {
  // "%s:%s:%s:%s:%u:%d:%d:%ld:%d", built without a format so that no byte of a text is lost.
  return r.name + ":" + r.route + ":" + r.queueDir + ":" + r.caller + ":" + std::to_string(r.port) +
         ":" + std::to_string(r.timerRuns) + ":" + std::to_string(r.held) + ":" +
         std::to_string(r.sizeLimit) + ":" + std::to_string(r.etrn);
}

const DomainRecord* DomainSnapshot::Find(const std::string& domain) const {
  for (const DomainRecord& r : records) {
    if (!r.deleted && !r.added && EqualNoCase(r.name, domain)) return &r;
  }
  return nullptr;
}

bool DomainSnapshot::IsLocalDomain(const std::string& domain) const {
  if (domain.empty() || EqualNoCase(domain, ownDomain) || EqualNoCase(domain, "[uucp]")) {
    return true;
  }
  const DomainRecord* r = Find(domain);
  return r != nullptr && EqualNoCase(r->route, "[local]");
}

int DomainSnapshot::RouteDomain(const std::string& domain, std::string* out) const {
  if (EqualNoCase(domain, ownDomain)) {
    *out = "[local]";
    return 0;
  }
  if (const DomainRecord* r = Find(domain)) {
    *out = EqualNoCase(r->route, "[uucp]") ? "[uucp]" : r->queueDir;
    return 0;
  }
  *out = uucpTakesUnknown ? "[uucp]" : CDomainTable::kDefaultQueueDir;
  return 1;
}

CDomainTable::CDomainTable() : snapshot_(std::make_shared<const DomainSnapshot>()) {}

void CDomainTable::Load(const std::string& home, DomainSnapshot snapshot) {
  for (const DomainRecord& r : snapshot.records) {
    if (r.route.empty() || r.route[0] == '[' || r.queueDir.empty()) continue;
    (void)platform::MakeDirectory(OutqueueRoot(home));
    (void)platform::MakeDirectory(OutqueueDir(home, r.queueDir));
  }
  auto next = std::make_shared<const DomainSnapshot>(std::move(snapshot));
  std::lock_guard<std::mutex> lock(mutex_);
  snapshot_ = std::move(next);
}

std::shared_ptr<const DomainSnapshot> CDomainTable::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return snapshot_;
}

std::string CDomainTable::MakeMessageId() const {
  unsigned long counter = messageCounter_++;
  return "<" + std::to_string(counter) + "." + std::to_string(platform::TickCount()) + "@" +
         Snapshot()->localName + ">";
}

std::string CDomainTable::MakeDomainQueueDir(const std::string& home, const std::string& domain) {
  std::string base = domain.substr(0, 32);
  for (char& c : base) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  std::string outqueue = OutqueueRoot(home);
  if (platform::MakeDirectory(outqueue) != 0) return std::string();
  for (int suffix = 0; suffix <= 998; ++suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "%s.%03d", base.c_str(), suffix);
    std::string path = platform::ResolvePath(platform::JoinPath(outqueue, name));
    if (platform::DirectoryExists(path)) continue;
    return platform::MakeDirectory(path) == 0 ? std::string(name) : std::string();
  }
  return std::string();
}

}  // namespace store

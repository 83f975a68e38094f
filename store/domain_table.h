// CDomainTable: the mail domains the server knows and where their mail goes.
//
// A record is stored as "name:route:queue dir:caller:port:timer runs:held:size limit:ETRN".
// Route "[local]" delivers into mailboxes, "[uucp]" hands mail to the UUCP gateway; any other
// route is a host that the domain's queue directory under OUTQUEUE is sent to. Domains without a
// record go to the default queue "MailHub" (or to UUCP when the gateway takes unknown domains).
//
// Thread rules: the table is replaced as a whole by a load (reload request 1007) while session
// threads route addresses, so readers work on an immutable snapshot (Snapshot()); the message-id
// counter is atomic. Results: 0 / 1 / -1 as each method says.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace store {

struct DomainRecord {
  std::string name;
  std::string route;
  std::string queueDir;
  std::string caller;
  unsigned port = 25;
  int timerRuns = 1;
  int held = 0;
  long sizeLimit = 0;  // Kbytes
  int etrn = 0;
  bool deleted = false;
  bool added = false;
};

// One parsed record; missing trailing fields take their defaults.
DomainRecord ParseDomainRecord(const std::string& line);
// The stored form "%s:%s:%s:%s:%u:%d:%d:%ld:%d".
std::string FormatDomainRecord(const DomainRecord& record);

struct DomainSnapshot {
  std::string ownDomain;
  std::string localName;
  std::string relayHost;
  bool uucpTakesUnknown = false;  // EnableUUCP and SendByUUCP
  std::vector<DomainRecord> records;

  bool IsLocalDomain(const std::string& domain) const;
  // 0 known ("[local]", "[uucp]" or the record's queue directory), 1 default route used.
  int RouteDomain(const std::string& domain, std::string* out) const;
  const DomainRecord* Find(const std::string& domain) const;
};

class CDomainTable {
 public:
  static constexpr const char* kDefaultQueueDir = "MailHub";

  CDomainTable();

  // Replaces the table; creates OUTQUEUE/<dir> for every record with a queue directory.
  void Load(const std::string& home, DomainSnapshot snapshot);
  std::shared_ptr<const DomainSnapshot> Snapshot() const;

  bool IsLocalDomain(const std::string& domain) const { return Snapshot()->IsLocalDomain(domain); }
  int RouteDomain(const std::string& domain, std::string* out) const {
    return Snapshot()->RouteDomain(domain, out);
  }

  // "<counter.ticks@localname>".
  std::string MakeMessageId() const;

  // Creates OUTQUEUE/<name> for a new domain and returns the name (relative to OUTQUEUE), or ""
  // when no name is free or the directory cannot be made.
  static std::string MakeDomainQueueDir(const std::string& home, const std::string& domain);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const DomainSnapshot> snapshot_;
  mutable std::atomic<unsigned long> messageCounter_{0};
};

}  // namespace store

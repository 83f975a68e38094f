// The resolver's wire format: building an MX query, reading an answer's header and parsing its
// records into the record table. No I/O: bytes in, table entries out, so every step can be
// tested and fuzzed byte by byte.
//
// Every read of an answer is checked against the datagram's length; a name is expanded only
// when its labels lie inside the datagram and its compression pointers point strictly
// backwards (RFC 1035 4.1.4), so a hostile answer can neither read past the buffer nor loop.
//
// Results: 0, or kDnsCompressFailed / kDnsExpandFailed (dns_resolver.h) with a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace outbound {

constexpr int kDnsMaxRecords = 200;      // entries of the record table per domain
constexpr size_t kDnsAnswerSize = 2048;  // one UDP datagram
constexpr size_t kDnsHeaderSize = 12;
constexpr size_t kDnsMaxOwnerName = 256;  // expanded names are cut to this length
constexpr int kDnsTypeA = 1;
constexpr int kDnsTypeNs = 2;
constexpr int kDnsTypeMx = 15;
constexpr int kDnsClassIn = 1;
constexpr int kDnsRcodeNameError = 3;

struct DnsHeader {
  uint16_t id = 0;
  bool qr = false;
  int opcode = 0;
  bool aa = false;
  bool tc = false;
  bool rd = false;
  bool ra = false;
  int rcode = 0;
  uint16_t qdcount = 0;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;
};

// One parsed resource record.
struct DnsRecord {
  bool used = false;         // handed out as exchanger
  bool picked = false;       // used as a glue server address
  bool addressUsed = false;  // handed out as an exchanger's address
  int section = 0;           // 1 answer, 2 authority, 3 additional
  std::string owner;
  int type = 0;
  int klass = 0;
  uint32_t ttl = 0;
  int rdlength = 0;
  std::string rdata;  // the raw data bytes
  bool aa = false;
  bool ra = false;
  int value = 0;         // MX: preference; A: 4; NS: length of the compressed name
  uint32_t address = 0;  // A: the address, first byte in the high bits
  std::string data;      // MX: exchanger; A: the 4 address bytes; NS: server name
};

// The records of all answers since the last clear: at most kDnsMaxRecords, an MX, A or NS
// record equal to one already kept (type, owner and data, names without case) kept once.
class CDnsRecordTable {
 public:
  void Clear() { entries_.clear(); }
  int Count() const { return static_cast<int>(entries_.size()); }
  bool Full() const { return entries_.size() >= kDnsMaxRecords; }
  DnsRecord& operator[](int i) { return entries_[static_cast<size_t>(i)]; }
  const DnsRecord& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }
  // The new entry's index, or -1 when it is a duplicate or the table is full.
  int Add(DnsRecord record);

 private:
  std::vector<DnsRecord> entries_;
};

// Names compared without regard to ASCII case.
bool SameName(const std::string& a, const std::string& b);

// "%d.%d.%d.%d" of an A entry's address.
std::string DottedAddress(uint32_t address);

// The query: header (id, RD set, one question) and the question for `name`. 0, or
// kDnsCompressFailed. `questionLength` receives the compressed name's length + 4.
int BuildDnsQuery(uint16_t id, const std::string& name, int type, int klass,
                  std::vector<uint8_t>& query, size_t& questionLength);

// The header of an answer; false when the datagram is shorter than a header.
bool DecodeDnsHeader(const uint8_t* data, size_t length, DnsHeader& header);

// Parses the records after `recordsStart` (12 + the query's question length): ANCOUNT records as
// section 1, NSCOUNT as 2, ARCOUNT as 3, adding them to `table`. A datagram that ends inside a
// record (a truncated answer) ends the parse without error. 0, or kDnsExpandFailed with
// `errorText` set. When `log` is given, the log lines of the sections and kept records are
// appended to it.
int ParseDnsRecords(const uint8_t* data, size_t length, size_t recordsStart,
                    const DnsHeader& header, CDnsRecordTable& table, std::string* errorText,
                    std::string* log);

}  // namespace outbound

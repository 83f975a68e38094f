#include "outbound/dns_answer.h"

#include <arpa/nameser.h>
#include <resolv.h>

#include <cstdio>

#include "outbound/dns_resolver.h"

namespace outbound {
namespace {

constexpr const char* kNameError = "dn_expand() NAME decompression error. ";
constexpr const char* kMxError = "dn_expand() MX RECORD decompression error. ";
constexpr const char* kNsError = "dn_expand() NS RECORD decompression error. ";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

enum class NameCheck { kGood, kPastEnd, kMalformed };

// Whether the name at `offset` can be expanded: every label within `length`, every compression
// pointer aimed strictly before the run of labels it ends (so expansion always ends), no
// extended label types. kPastEnd: the datagram ends inside the name (a truncated answer).
NameCheck CheckName(const uint8_t* data, size_t length, size_t offset) {
  size_t p = offset;
  size_t runStart = offset;
  for (;;) {
    if (p >= length) return NameCheck::kPastEnd;
    uint8_t c = data[p];
    if ((c & 0xC0) == 0xC0) {
      if (p + 1 >= length) return NameCheck::kPastEnd;
      size_t target = (static_cast<size_t>(c & 0x3F) << 8) | data[p + 1];
      if (target >= runStart) return NameCheck::kMalformed;
      p = runStart = target;
    } else if ((c & 0xC0) != 0) {
      return NameCheck::kMalformed;
    } else if (c == 0) {
      return NameCheck::kGood;
    } else {
      p += 1 + c;
    }
  }
}

// Expands the name at `offset` (checked first): its compressed length (> 0), or -1.
int ExpandName(const uint8_t* data, size_t length, size_t offset, std::string& name) {
  if (CheckName(data, length, offset) != NameCheck::kGood) return -1;
  char text[NS_MAXDNAME];
  int used = ::dn_expand(data, data + length, data + offset, text, sizeof text);
  if (used <= 0) return -1;
  name = text;
  if (name.size() > kDnsMaxOwnerName) name.resize(kDnsMaxOwnerName);
  return used;
}

void LogRecord(int index, const DnsRecord& r, std::string& log) {
  char line[kDnsMaxOwnerName + 96];
  std::snprintf(line, sizeof line, "\n%2d: %30s %3d %2d %4d %d %d ", index, r.owner.c_str(), r.type,
                r.klass, r.value, r.ra ? 1 : 0, r.aa ? 1 : 0);
  log += line;
  log += r.type == kDnsTypeA ? DottedAddress(r.address) : r.data;
}

// Reads the type-specific data of `r` whose RDATA starts at `rd`. 0, or kDnsExpandFailed.
int DecodeData(const uint8_t* data, size_t length, size_t rd, DnsRecord& r, const char** error) {
  const size_t rdEnd = rd + static_cast<size_t>(r.rdlength);
  if (r.type == kDnsTypeMx) {
    int used = r.rdlength >= 3 ? ExpandName(data, length, rd + 2, r.data) : -1;
    if (used < 0 || rd + 2 + static_cast<size_t>(used) > rdEnd) {
      *error = kMxError;
      return kDnsExpandFailed;
    }
    r.value = ::ns_get16(data + rd);
  } else if (r.type == kDnsTypeNs) {
    int used = r.rdlength >= 1 ? ExpandName(data, length, rd, r.data) : -1;
    if (used < 0 || rd + static_cast<size_t>(used) > rdEnd) {
      *error = kNsError;
      return kDnsExpandFailed;
    }
    r.value = used;
  } else if (r.type == kDnsTypeA) {
    r.value = 4;
    r.address = static_cast<uint32_t>(::ns_get32(data + rd));
    r.data.assign(reinterpret_cast<const char*>(data + rd), 4);
  }
  return 0;
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string DottedAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

int CDnsRecordTable::Add(DnsRecord record) {
  if (Full()) return -1;
  if (record.type == kDnsTypeMx || record.type == kDnsTypeA || record.type == kDnsTypeNs) {
    for (const DnsRecord& e : entries_) {
      if (e.type != record.type || !SameName(e.owner, record.owner)) continue;
      bool same = record.type == kDnsTypeA ? e.data == record.data : SameName(e.data, record.data);
      if (same) return -1;
    }
  }
  entries_.push_back(std::move(record));
  return Count() - 1;
}

int BuildDnsQuery(uint16_t id, const std::string& name, int type, int klass,
                  std::vector<uint8_t>& query, size_t& questionLength) {
  query.assign(kDnsHeaderSize + NS_MAXCDNAME + 4, 0);
  ::ns_put16(id, query.data());
  query[2] = 0x01;                  // QR 0, opcode 0, AA 0, TC 0, RD 1
  query[3] = 0x00;                  // RA 0, Z 0, RCODE 0
  ::ns_put16(1, query.data() + 4);  // QDCOUNT; AN/NS/ARCOUNT stay 0
  int n = ::dn_comp(name.c_str(), query.data() + kDnsHeaderSize, NS_MAXCDNAME, nullptr, nullptr);
  if (n <= 0) {
    query.clear();
    questionLength = 0;
    return kDnsCompressFailed;
  }
  size_t at = kDnsHeaderSize + static_cast<size_t>(n);
  ::ns_put16(static_cast<unsigned>(type), query.data() + at);
  ::ns_put16(static_cast<unsigned>(klass), query.data() + at + 2);
  questionLength = static_cast<size_t>(n) + 4;
  query.resize(at + 4);
  return 0;
}

bool DecodeDnsHeader(const uint8_t* data, size_t length, DnsHeader& h) {
  if (length < kDnsHeaderSize) return false;
  h.id = static_cast<uint16_t>(::ns_get16(data));
  h.qr = (data[2] & 0x80) != 0;
  h.opcode = (data[2] >> 3) & 0x0F;
  h.aa = (data[2] & 0x04) != 0;
  h.tc = (data[2] & 0x02) != 0;
  h.rd = (data[2] & 0x01) != 0;
  h.ra = (data[3] & 0x80) != 0;
  h.rcode = data[3] & 0x0F;
  h.qdcount = static_cast<uint16_t>(::ns_get16(data + 4));
  h.ancount = static_cast<uint16_t>(::ns_get16(data + 6));
  h.nscount = static_cast<uint16_t>(::ns_get16(data + 8));
  h.arcount = static_cast<uint16_t>(::ns_get16(data + 10));
  return true;
}

int ParseDnsRecords(const uint8_t* data, size_t length, size_t recordsStart,
                    const DnsHeader& header, CDnsRecordTable& table, std::string* errorText,
                    std::string* log) {
  const int counts[3] = {header.ancount, header.nscount, header.arcount};
  size_t p = recordsStart;
  for (int section = 1; section <= 3; ++section) {
    if (log != nullptr) *log += "\n";
    for (int i = 0; i < counts[section - 1]; ++i) {
      // A datagram that ends here or inside the owner name was cut: parsed as far as it goes.
      if (p >= length || CheckName(data, length, p) == NameCheck::kPastEnd) return 0;
      DnsRecord r;
      int used = ExpandName(data, length, p, r.owner);
      if (used < 0) {
        *errorText = kNameError;
        return kDnsExpandFailed;
      }
      p += static_cast<size_t>(used);
      if (length - p < NS_RRFIXEDSZ) return 0;
      r.type = ::ns_get16(data + p);
      r.klass = ::ns_get16(data + p + 2);
      r.ttl = static_cast<uint32_t>(::ns_get32(data + p + 4));
      r.rdlength = ::ns_get16(data + p + 8);
      p += NS_RRFIXEDSZ;
      if (length - p < static_cast<size_t>(r.rdlength)) return 0;
      const size_t rd = p;
      p += static_cast<size_t>(r.rdlength);
      if (r.type == kDnsTypeA && r.rdlength != 4) continue;  // no address: nothing to keep
      r.section = section;
      r.aa = header.aa;
      r.ra = header.ra;
      r.rdata.assign(reinterpret_cast<const char*>(data + rd), static_cast<size_t>(r.rdlength));
      const char* error = nullptr;
      if (DecodeData(data, length, rd, r, &error) != 0) {
        *errorText = error;
        return kDnsExpandFailed;
      }
      int index = table.Add(std::move(r));
      if (index >= 0 && log != nullptr) LogRecord(index, table[index], *log);
    }
  }
  return 0;
}

}  // namespace outbound

// Fuzz target: the answer parser. The input is one datagram; its first byte chooses where the
// records start (as the length of the query's question would). The parser never reads past the
// datagram (the sanitizers see that), the table never grows beyond its limit, and every kept
// entry is whole: an A entry has its 4 address bytes, an MX or NS entry a name, the raw data its
// announced length. Parsing the same datagram again adds nothing (every entry is a duplicate or
// the table is full), except records of other types.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "outbound/dns_answer.h"
#include "outbound/dns_resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t start = outbound::kDnsHeaderSize + data[0] % 64;
  // A copy of exactly the datagram's size, so any read past it is caught.
  std::vector<uint8_t> datagram(data + 1, data + size);
  outbound::DnsHeader header;
  if (!outbound::DecodeDnsHeader(datagram.data(), datagram.size(), header)) {
    if (datagram.size() >= outbound::kDnsHeaderSize) __builtin_trap();
    return 0;
  }
  outbound::CDnsRecordTable table;
  std::string error, log;
  int rc = outbound::ParseDnsRecords(datagram.data(), datagram.size(), start, header, table, &error,
                                     &log);
  if (rc != 0 && (rc != outbound::kDnsExpandFailed || error.empty())) __builtin_trap();
  if (table.Count() > outbound::kDnsMaxRecords) __builtin_trap();
  int typed = 0;
  for (int i = 0; i < table.Count(); ++i) {
    const outbound::DnsRecord& r = table[i];
    if (r.owner.size() > outbound::kDnsMaxOwnerName) __builtin_trap();
    if (static_cast<int>(r.rdata.size()) != r.rdlength) __builtin_trap();
    if (r.section < 1 || r.section > 3) __builtin_trap();
    if (r.type == outbound::kDnsTypeA && (r.data.size() != 4 || r.value != 4)) __builtin_trap();
    if ((r.type == outbound::kDnsTypeMx || r.type == outbound::kDnsTypeNs) && r.rdlength < 1) {
      __builtin_trap();
    }
    if (r.type == outbound::kDnsTypeA || r.type == outbound::kDnsTypeMx ||
        r.type == outbound::kDnsTypeNs) {
      ++typed;
    }
  }
  const int before = table.Count();
  (void)outbound::ParseDnsRecords(datagram.data(), datagram.size(), start, header, table, &error,
                                  nullptr);
  int typedAfter = 0;
  for (int i = 0; i < table.Count(); ++i) {
    const outbound::DnsRecord& r = table[i];
    if (r.type == outbound::kDnsTypeA || r.type == outbound::kDnsTypeMx ||
        r.type == outbound::kDnsTypeNs) {
      ++typedAfter;
    }
  }
  if (typedAfter != typed && before < outbound::kDnsMaxRecords) __builtin_trap();
  return 0;
}

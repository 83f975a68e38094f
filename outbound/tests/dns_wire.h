// Test helper: writes DNS answers byte by byte (names uncompressed unless a test writes its own
// pointers), so the tests say exactly what goes on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace outbound::testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v >> 16);
  Put16(b, v & 0xFFFF);
}

// "mx1.example.test" as labels, ending with the root label.
inline Bytes Name(const std::string& name) {
  Bytes b;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
  return b;
}

struct Rr {
  Bytes owner;  // wire form
  int type;
  Bytes rdata;
};

inline Rr Mx(const std::string& owner, int preference, const std::string& host) {
  Bytes rd;
  Put16(rd, static_cast<unsigned>(preference));
  Bytes n = Name(host);
  rd.insert(rd.end(), n.begin(), n.end());
  return {Name(owner), 15, rd};
}

inline Rr A(const std::string& owner, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {Name(owner), 1, Bytes{a, b, c, d}};
}

inline Rr Ns(const std::string& owner, const std::string& host) {
  return {Name(owner), 2, Name(host)};
}

// An answer to a query for `qname`: header flags, the question, then the three sections.
struct Answer {
  uint16_t id = 0;
  bool qr = true;
  bool aa = true;
  bool tc = false;
  bool ra = false;
  int rcode = 0;
  std::string qname = "example.test";
  std::vector<Rr> answer, authority, additional;
  // Counts written in the header; -1 = the number of records given.
  int ancount = -1, nscount = -1, arcount = -1;

  Bytes Wire() const {
    Bytes b;
    Put16(b, id);
    b.push_back(static_cast<uint8_t>((qr ? 0x80 : 0) | (aa ? 0x04 : 0) | (tc ? 0x02 : 0) | 0x01));
    b.push_back(static_cast<uint8_t>((ra ? 0x80 : 0) | (rcode & 0x0F)));
    Put16(b, 1);
    Put16(b, static_cast<unsigned>(ancount < 0 ? answer.size() : ancount));
    Put16(b, static_cast<unsigned>(nscount < 0 ? authority.size() : nscount));
    Put16(b, static_cast<unsigned>(arcount < 0 ? additional.size() : arcount));
    Bytes q = Name(qname);
    b.insert(b.end(), q.begin(), q.end());
    Put16(b, 15);
    Put16(b, 1);
    for (const auto* section : {&answer, &authority, &additional}) {
      for (const Rr& r : *section) {
        b.insert(b.end(), r.owner.begin(), r.owner.end());
        Put16(b, static_cast<unsigned>(r.type));
        Put16(b, 1);
        Put32(b, 300);
        Put16(b, static_cast<unsigned>(r.rdata.size()));
        b.insert(b.end(), r.rdata.begin(), r.rdata.end());
      }
    }
    return b;
  }
};

}  // namespace outbound::testing

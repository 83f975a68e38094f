// The resolver's wire format: the query bytes, header decoding, and the record parser's limits
// (table size, duplicates, truncation, hostile names) byte by byte.
#include "outbound/dns_answer.h"

#include <gtest/gtest.h>

#include "outbound/dns_resolver.h"
#include "outbound/tests/dns_wire.h"

namespace outbound {
namespace {

using testing::A;
using testing::Answer;
using testing::Bytes;
using testing::Mx;
using testing::Name;
using testing::Ns;

constexpr size_t kQuestionEnd = 12 + 14 + 4;  // header, "example.test", type and class

struct Parsed {
  int rc;
  std::string error;
  std::string log;
};

Parsed Parse(const Bytes& wire, CDnsRecordTable& table, size_t length = SIZE_MAX) {
  DnsHeader h;
  EXPECT_TRUE(DecodeDnsHeader(wire.data(), wire.size(), h));
  Parsed p;
  p.rc = ParseDnsRecords(wire.data(), std::min(length, wire.size()), kQuestionEnd, h, table,
                         &p.error, &p.log);
  return p;
}

TEST(DnsQuery, BytesOfAnMxQuery) {
  std::vector<uint8_t> q;
  size_t questionLength = 0;
  ASSERT_EQ(BuildDnsQuery(0xBEEF, "example.test", kDnsTypeMx, kDnsClassIn, q, questionLength), 0);
  Bytes expected = {0xBE, 0xEF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  Bytes name = Name("example.test");
  expected.insert(expected.end(), name.begin(), name.end());
  expected.insert(expected.end(), {0, 15, 0, 1});
  EXPECT_EQ(q, expected);
  EXPECT_EQ(questionLength, 18u);
}

TEST(DnsQuery, NamesThatCannotBeCompressedAreRefused) {
  std::vector<uint8_t> q;
  size_t len = 0;
  EXPECT_EQ(BuildDnsQuery(1, "a..b", kDnsTypeMx, kDnsClassIn, q, len), kDnsCompressFailed);
  EXPECT_EQ(BuildDnsQuery(1, std::string(64, 'x') + ".test", kDnsTypeMx, kDnsClassIn, q, len),
            kDnsCompressFailed);
  EXPECT_EQ(BuildDnsQuery(1, std::string(63, 'x') + ".test", kDnsTypeMx, kDnsClassIn, q, len), 0);
  // Labels of 63, 63, 63 and 62 make 256 bytes on the wire: one more than a name may have.
  std::string label(63, 'y');
  std::string longName = label + "." + label + "." + label + "." + label.substr(1);
  EXPECT_EQ(BuildDnsQuery(1, longName, kDnsTypeMx, kDnsClassIn, q, len), kDnsCompressFailed);
  longName.pop_back();
  EXPECT_EQ(BuildDnsQuery(1, longName, kDnsTypeMx, kDnsClassIn, q, len), 0);
  EXPECT_EQ(len, 255u + 4u);
}

TEST(DnsHeaderTest, FlagsAndCounts) {
  Answer a;
  a.id = 0x0102;
  a.aa = true;
  a.tc = true;
  a.ra = true;
  a.rcode = 3;
  a.answer = {Mx("example.test", 5, "mx.example.test")};
  Bytes w = a.Wire();
  DnsHeader h;
  ASSERT_TRUE(DecodeDnsHeader(w.data(), w.size(), h));
  EXPECT_EQ(h.id, 0x0102);
  EXPECT_TRUE(h.qr && h.aa && h.tc && h.rd && h.ra);
  EXPECT_EQ(h.rcode, 3);
  EXPECT_EQ(h.ancount, 1);
  EXPECT_EQ(h.nscount, 0);
  EXPECT_FALSE(DecodeDnsHeader(w.data(), 11, h));
  EXPECT_TRUE(DecodeDnsHeader(w.data(), 12, h));
}

TEST(DnsRecords, SectionsTypesAndValues) {
  Answer a;
  a.ra = true;
  a.answer = {Mx("example.test", 10, "mx1.example.test")};
  a.authority = {Ns("example.test", "ns1.example.test")};
  a.additional = {A("mx1.example.test", 127, 0, 0, 2)};
  CDnsRecordTable t;
  Parsed p = Parse(a.Wire(), t);
  ASSERT_EQ(p.rc, 0);
  ASSERT_EQ(t.Count(), 3);
  EXPECT_EQ(t[0].section, 1);
  EXPECT_EQ(t[0].type, kDnsTypeMx);
  EXPECT_EQ(t[0].value, 10);
  EXPECT_EQ(t[0].data, "mx1.example.test");
  EXPECT_EQ(t[0].owner, "example.test");
  EXPECT_TRUE(t[0].aa && t[0].ra);
  EXPECT_EQ(t[0].ttl, 300u);
  EXPECT_EQ(t[1].section, 2);
  EXPECT_EQ(t[1].data, "ns1.example.test");
  EXPECT_EQ(t[1].value, 18);  // the server name's compressed length
  EXPECT_EQ(t[2].section, 3);
  EXPECT_EQ(t[2].value, 4);
  EXPECT_EQ(DottedAddress(t[2].address), "127.0.0.2");
  EXPECT_EQ(t[2].rdata, std::string("\x7f\x00\x00\x02", 4));
  EXPECT_EQ(p.log,
            "\n\n 0:                   example.test  15  1   10 1 1 mx1.example.test"
            "\n\n 1:                   example.test   2  1   18 1 1 ns1.example.test"
            "\n\n 2:               mx1.example.test   1  1    4 1 1 127.0.0.2");
}

TEST(DnsRecords, CompressedNamesPointingBackAreExpanded) {
  Answer a;
  // Owner: a pointer to the question's name at offset 12; exchanger "mx" + that pointer.
  a.answer = {{Bytes{0xC0, 12}, 15, Bytes{0, 7, 2, 'm', 'x', 0xC0, 12}}};
  CDnsRecordTable t;
  ASSERT_EQ(Parse(a.Wire(), t).rc, 0);
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t[0].owner, "example.test");
  EXPECT_EQ(t[0].data, "mx.example.test");
}

TEST(DnsRecords, HostileNamesAreRefused) {
  struct Case {
    const char* what;
    Bytes owner;
    Bytes mxData;
    const char* error;
  };
  const Case cases[] = {
      {"owner points forward", Bytes{0xC0, 60}, Bytes{0, 1, 0},
       "dn_expand() NAME decompression error. "},
      {"owner points at itself", Bytes{0xC0, 30}, Bytes{0, 1, 0},
       "dn_expand() NAME decompression error. "},
      // Label "a" at 30, then a pointer back to 30: a loop through a backward pointer.
      {"owner loops", Bytes{1, 'a', 0xC0, 30}, Bytes{0, 1, 0},
       "dn_expand() NAME decompression error. "},
      {"extended label type", Bytes{0x41, 'a', 0}, Bytes{0, 1, 0},
       "dn_expand() NAME decompression error. "},
      {"exchanger points forward", Name("x.test"), Bytes{0, 1, 0xC0, 0xF0},
       "dn_expand() MX RECORD decompression error. "},
      {"exchanger longer than its data", Name("x.test"), Bytes{0, 1, 3, 'a', 'b'},
       "dn_expand() MX RECORD decompression error. "},
      {"exchanger missing", Name("x.test"), Bytes{0, 1},
       "dn_expand() MX RECORD decompression error. "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answer a;
    a.answer = {{c.owner, 15, c.mxData}, Mx("example.test", 1, "after.example.test")};
    CDnsRecordTable t;
    Parsed p = Parse(a.Wire(), t);
    EXPECT_EQ(p.rc, kDnsExpandFailed);
    EXPECT_EQ(p.error, c.error);
    EXPECT_EQ(t.Count(), 0);
  }
  Answer ns;
  ns.authority = {{Name("x.test"), 2, Bytes{0xC0, 0xFF}}};
  CDnsRecordTable t;
  Parsed p = Parse(ns.Wire(), t);
  EXPECT_EQ(p.rc, kDnsExpandFailed);
  EXPECT_EQ(p.error, "dn_expand() NS RECORD decompression error. ");
}

TEST(DnsRecords, AddressRecordsWithoutFourBytesAreSkipped) {
  Answer a;
  a.additional = {{Name("h.test"), 1, Bytes{127, 0, 0}},
                  {Name("h.test"), 1, Bytes{127, 0, 0, 1, 9}},
                  A("h.test", 127, 0, 0, 9)};
  CDnsRecordTable t;
  ASSERT_EQ(Parse(a.Wire(), t).rc, 0);
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(DottedAddress(t[0].address), "127.0.0.9");
}

TEST(DnsRecords, LongExpandedNamesAreCut) {
  // Labels of bytes 0xFF, 255 bytes on the wire, four times as long expanded (\255).
  Bytes owner;
  for (int i = 0; i < 4; ++i) {
    owner.push_back(i < 3 ? 63 : 61);
    owner.insert(owner.end(), i < 3 ? 63 : 61, 0xFF);
  }
  owner.push_back(0);
  Answer a;
  a.answer = {{owner, 15, Bytes{0, 1, 1, 'h', 0}}};
  CDnsRecordTable t;
  ASSERT_EQ(Parse(a.Wire(), t).rc, 0);
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t[0].owner.size(), kDnsMaxOwnerName);
}

TEST(DnsRecords, TruncatedAnswerIsParsedAsFarAsItGoes) {
  Answer a;
  a.tc = true;
  a.answer = {Mx("example.test", 10, "mx1.example.test"),
              Mx("example.test", 20, "mx2.example.test"),
              Mx("example.test", 30, "mx3.example.test")};
  Bytes w = a.Wire();
  const size_t recordSize = 14 + 10 + 2 + 18;
  // Cut at every byte of the third record: the first two are kept, no error.
  for (size_t cut = kQuestionEnd + 2 * recordSize; cut < w.size(); ++cut) {
    SCOPED_TRACE(cut);
    CDnsRecordTable t;
    Parsed p = Parse(w, t, cut);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(t.Count(), 2);
  }
  CDnsRecordTable whole;
  EXPECT_EQ(Parse(w, whole).rc, 0);
  EXPECT_EQ(whole.Count(), 3);
  // Counts that promise more than the datagram holds: parsed as far as it goes.
  a.ancount = 40;
  a.nscount = 40;
  CDnsRecordTable t;
  EXPECT_EQ(Parse(a.Wire(), t).rc, 0);
  EXPECT_EQ(t.Count(), 3);
}

TEST(DnsRecords, EveryPrefixOfAnAnswerIsSafe) {
  Answer a;
  a.answer = {{Bytes{0xC0, 12}, 15, Bytes{0, 7, 2, 'm', 'x', 0xC0, 12}}};
  a.authority = {Ns("example.test", "ns.example.test")};
  a.additional = {A("mx.example.test", 127, 0, 0, 2),
                  {Bytes{0xC0, 12}, 16, Bytes{3, 'a', 'b', 'c'}}};
  Bytes w = a.Wire();
  int previous = 0;
  for (size_t cut = 0; cut <= w.size(); ++cut) {
    CDnsRecordTable t;
    Bytes prefix(w.begin(), w.begin() + static_cast<long>(cut));  // exactly sized for ASan
    std::string error;
    DnsHeader h;
    ASSERT_TRUE(DecodeDnsHeader(w.data(), w.size(), h));
    ASSERT_EQ(ParseDnsRecords(prefix.data(), prefix.size(), kQuestionEnd, h, t, &error, nullptr), 0)
        << cut;
    EXPECT_GE(t.Count(), previous) << cut;
    previous = t.Count();
  }
  EXPECT_EQ(previous, 4);
}

TEST(DnsRecordTableTest, KeepsTwoHundredEntriesOverSeveralAnswers) {
  // Each answer: 120 A records of distinct addresses.
  auto answer = [](int base) {
    Answer a;
    for (int i = 0; i < 120; ++i) {
      a.additional.push_back(
          A("h.test", 10, static_cast<uint8_t>(base), static_cast<uint8_t>(i), 1));
    }
    return a.Wire();
  };
  CDnsRecordTable t;
  ASSERT_EQ(Parse(answer(1), t).rc, 0);
  EXPECT_EQ(t.Count(), 120);
  Parsed second = Parse(answer(2), t);
  ASSERT_EQ(second.rc, 0);
  ASSERT_EQ(t.Count(), kDnsMaxRecords);
  EXPECT_TRUE(t.Full());
  // Entry 199 is the 80th of the second answer; the 81st (entry 200) was not kept or logged.
  EXPECT_EQ(DottedAddress(t[199].address), "10.2.79.1");
  EXPECT_NE(second.log.find("\n199: "), std::string::npos);
  EXPECT_EQ(second.log.find("\n200: "), std::string::npos);
  DnsRecord more;
  more.type = 99;
  EXPECT_EQ(t.Add(more), -1);
}

TEST(DnsRecordTableTest, DuplicatesAreKeptOnce) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx1.example.test"),
              A("mx1.example.test", 127, 0, 0, 2),
              {Name("example.test"), 16, Bytes{1, 'x'}}};
  a.authority = {Ns("example.test", "ns.example.test")};
  a.additional = {
      Mx("EXAMPLE.test", 20,
         "MX1.Example.TEST"),               // same exchanger: a duplicate, whatever the preference
      A("Mx1.example.test", 127, 0, 0, 2),  // same address
      Ns("example.TEST", "NS.example.test"),
      {Name("example.test"), 16, Bytes{1, 'x'}},   // other types are never merged
      Mx("example.test", 10, "mx2.example.test"),  // another exchanger
      A("mx1.example.test", 127, 0, 0, 3),         // another address
      Ns("other.test", "ns.example.test"),         // another owner
  };
  CDnsRecordTable t;
  ASSERT_EQ(Parse(a.Wire(), t).rc, 0);
  ASSERT_EQ(t.Count(), 8);
  EXPECT_EQ(t[4].type, 16);
  EXPECT_EQ(t[5].data, "mx2.example.test");
  EXPECT_EQ(DottedAddress(t[6].address), "127.0.0.3");
  EXPECT_EQ(t[7].owner, "other.test");
  // The same answer again adds only the records of other types.
  ASSERT_EQ(Parse(a.Wire(), t).rc, 0);
  EXPECT_EQ(t.Count(), 10);
}

TEST(DnsErrors, Classes) {
  const std::pair<int, int> cases[] = {
      {kDnsRcode, -30},
      {kDnsExpandFailed, -20},
      {kDnsCompressFailed, -20},
      {-11, -10},
      {-16, -10},
      {-17, -10},
      {-10, -100},
      {-18, -100},
      {-23, -100},
      {-30, -100},
      {-32, -100},
      {0, 0},
      {1, -100},
      {-1, -100},
  };
  for (auto [code, cls] : cases) EXPECT_EQ(DnsErrorClass(code), cls) << code;
}

}  // namespace
}  // namespace outbound

#include "toolkit/address.h"

#include <gtest/gtest.h>

namespace toolkit {
namespace {

// The address a reply goes to, from the header value forms that real mail programs write.
TEST(SplitMailboxTest, CommentsDisplayNamesGroupsAndRoutesAreRemoved) {
  struct Case {
    const char* text;
    const char* local;
    const char* domain;
  } cases[] = {
      {"bbb@ddd.test (John X. Doe)", "bbb", "ddd.test"},
      {"John Doe <jdoe@machine.test>", "jdoe", "machine.test"},
      {"\"Joe Q. Public\" <john.q.public@example.test>", "john.q.public", "example.test"},
      {"\"Smith <the boss>\" <boss@example.test>", "boss", "example.test"},
      {"\"a@b (not a comment)\" <real@example.test>", "real", "example.test"},
      {"real@example.test (see <other@elsewhere.test>)", "real", "example.test"},
      // Comments anywhere, nested, with quoted pairs; folding white space around the dots.
      {"Pete(A nice \\) chap) <pete(his account)@silly.test(his host)>", "pete", "silly.test"},
      {"(c)x(d)@(e)y.z(f)", "x", "y.z"},
      {"(outer (inner) still outer) a@b.test", "a", "b.test"},
      {"john . doe @ example . test", "john.doe", "example.test"},
      // Quoted local parts are kept whole with their quotes; a "(" inside them is text.
      {"\"john doe\"@example.test", "\"john doe\"", "example.test"},
      {"<\"a(b)c\"@example.test> (x)", "\"a(b)c\"", "example.test"},
      {"\"a\\\"b\"@example.test", "\"a\\\"b\"", "example.test"},
      // Domain literals keep their brackets.
      {"dave@[127.0.0.1] (loopback)", "dave", "[127.0.0.1]"},
      // Groups and lists: the first mailbox; an empty group is no address.
      {"A Group:Ed Jones <c@a.test>,joe@where.test,John <jdoe@one.test>;", "c", "a.test"},
      {"Undisclosed recipients:;", "", ""},
      {"a@one.test, b@two.test", "a", "one.test"},
      {" , ,(nothing) , c@three.test", "c", "three.test"},
      {"Doe, John <jd@example.test>", "jd", "example.test"},  // an unquoted comma in the name
      {"one, two", "one", ""},
      // Obsolete route: dropped (RFC 5322 4.4).
      {"<@relay1.test,@relay2.test:user@host.test>", "user", "host.test"},
      // Unclosed forms and stray brackets.
      {"Name <a@b.test", "a", "b.test"},
      {"a@b.test>", "a", "b.test"},
      {"x@y.test (unclosed comment", "x", "y.test"},
      // Words no rule explains: the word with "@" (the literal split's rule).
      {"someone bob@example.test", "bob", "example.test"},
      // No "@": a local part alone.
      {"MAILER-DAEMON (Mail Delivery System)", "MAILER-DAEMON", ""},
      {"postmaster", "postmaster", ""},
      {"<>", "", ""},
      {"", "", ""},
      {"(only a comment)", "", ""},
  };
  for (const Case& c : cases) {
    SplitResult r = SplitMailbox(c.text);
    EXPECT_EQ(r.local, c.local) << c.text;
    EXPECT_EQ(r.domain, c.domain) << c.text;
  }
  EXPECT_EQ(MailboxAddress("bbb@ddd.test (John X. Doe)"), "bbb@ddd.test");
  EXPECT_EQ(MailboxAddress("MAILER-DAEMON"), "MAILER-DAEMON");
}

// Each part is cut to 127 characters: 127 stay whole, 128 lose the last.
TEST(SplitMailboxTest, PartsAreCutAt127Characters) {
  for (size_t n : {kMaxAddressPart, kMaxAddressPart + 1}) {
    std::string local(n, 'l'), domain(n, 'd');
    SplitResult r = SplitMailbox("Name <" + local + "@" + domain + "> (c)");
    EXPECT_EQ(r.local, std::string(kMaxAddressPart, 'l')) << n;
    EXPECT_EQ(r.domain, std::string(kMaxAddressPart, 'd')) << n;
  }
  EXPECT_EQ(SplitMailbox(std::string(300, 'x')).local.size(), kMaxAddressPart);
}

// The stored formats keep the literal split: a plain address reads the same either way.
TEST(SplitMailboxTest, PlainAddressesReadAsTheLiteralSplitReadsThem) {
  for (const char* plain : {"alice@example.test", "a.b-c+d@sub.example.test", "master",
                            "anonymous@varnel", "x!y!user", "user%host@relay.test"}) {
    SplitResult literal = SplitAddress(plain), rfc = SplitMailbox(plain);
    EXPECT_EQ(rfc.local, literal.local) << plain;
    EXPECT_EQ(rfc.domain, literal.domain) << plain;
  }
}

}  // namespace
}  // namespace toolkit

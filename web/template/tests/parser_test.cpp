// The template syntax without I/O: references, directives, attributes and their values.
#include <gtest/gtest.h>

#include "web/template/ini_text.h"
#include "web/template/session_id.h"
#include "web/template/template_parser.h"
#include "web/template/variable_table.h"

namespace web {
namespace {

Piece Literal(const Reference& r) {
  Piece p;
  p.text = "<" + r.name + ">";
  p.origin = r.name == "req" ? Origin::kRequest : Origin::kProgram;
  return p;
}

TEST(VariableTable, NamesIgnoreCaseAndKeepTheirPlace) {
  CVariableTable t;
  t.Set("Alpha", "1");
  t.Set("beta", "2");
  t.Set("ALPHA", "3", Origin::kRequest);
  ASSERT_EQ(t.Size(), 2u);
  EXPECT_EQ(t.At(0).name, "Alpha");
  EXPECT_EQ(t.At(0).value, "3");
  EXPECT_EQ(t.At(0).origin, Origin::kRequest);
  EXPECT_EQ(t.Get("alpha"), "3");
  EXPECT_EQ(t.Get("gamma", "def"), "def");
  // Cursor walks in order and ends.
  const Variable* v = t.First();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->name, "Alpha");
  v = t.Next();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->name, "beta");
  EXPECT_EQ(t.Next(), nullptr);
  t.Remove("BETA");
  EXPECT_EQ(t.Size(), 1u);
}

TEST(VariableTable, GrowsPastItsFirstCapacity) {
  CVariableTable t;
  for (int i = 0; i < 45; ++i) t.Set("v" + std::to_string(i), std::to_string(i));
  ASSERT_EQ(t.Size(), 45u);
  EXPECT_EQ(t.Get("v20"), "20");
  EXPECT_EQ(t.Get("V44"), "44");
}

// Past the size where names are found through an index: replacing, removing and clearing keep
// every name at its place, without regard to case.
TEST(VariableTable, LargeTablesFindEveryNameAfterReplacesAndRemovals) {
  CVariableTable t;
  const int n = static_cast<int>(CVariableTable::kIndexFrom) * 3;
  for (int i = 0; i < n; ++i) t.Set("Var" + std::to_string(i), std::to_string(i));
  t.Set("VAR40", "forty", Origin::kRequest);  // in place, its name as first written
  ASSERT_EQ(t.Size(), static_cast<size_t>(n));
  EXPECT_EQ(t.At(40).name, "Var40");
  EXPECT_EQ(t.At(40).value, "forty");
  EXPECT_EQ(t.At(40).origin, Origin::kRequest);
  t.Remove("var10");
  ASSERT_EQ(t.Size(), static_cast<size_t>(n - 1));
  EXPECT_FALSE(t.Has("Var10"));
  EXPECT_EQ(t.Find("var11"), &t.At(10));  // the entries behind it moved up
  EXPECT_EQ(t.Get("VAR40"), "forty");
  EXPECT_EQ(t.Get("var" + std::to_string(n - 1)), std::to_string(n - 1));
  t.Set("new", "x");
  EXPECT_EQ(t.At(t.Size() - 1).name, "new");
  EXPECT_EQ(t.Get("NEW"), "x");
  // Removing below the index size, and clearing, leave a table that still finds its names.
  while (t.Size() > 3) t.Remove(t.At(0).name);
  EXPECT_EQ(t.Get("new"), "x");
  EXPECT_FALSE(t.Has("var40"));
  t.Clear();
  EXPECT_FALSE(t.Has("new"));
  for (int i = 0; i < n; ++i) t.Set("w" + std::to_string(i), "v");
  EXPECT_TRUE(t.Has("W" + std::to_string(n - 1)));
  EXPECT_FALSE(t.Has("new"));
}

TEST(EscapeRequestText, NeutralisesMarkupDirectivesAndReferences) {
  EXPECT_EQ(EscapeRequestText("<!--ISW SYSTEM CMD=x -->"), "&lt;!--ISW SYSTEM CMD=x --&gt;");
  EXPECT_EQ(EscapeRequestText("(*secret*)"), "(&#42;secret*)");
  EXPECT_EQ(EscapeRequestText("a&b\"c'd"), "a&amp;b&quot;c&#39;d");
  EXPECT_EQ(EscapeRequestText("2*3 (x)"), "2*3 (x)");
  EXPECT_EQ(EscapeRequestText("<script>alert('x&y')</script>"),
            "&lt;script&gt;alert(&#39;x&amp;y&#39;)&lt;/script&gt;");
  EXPECT_EQ(EscapeRequestText(std::string("a\0b\x01\x1f\tc\r\n", 10)), "ab\tc\r\n");
  // Two values side by side cannot join into a reference.
  EXPECT_EQ(EscapeRequestText("a(") + EscapeRequestText("*b*)"), "a&#40;&#42;b*)");
}

TEST(ScanReference, PlainIndexedAndBroken) {
  Reference r;
  ASSERT_TRUE(ScanReference("x(*name_1.b*)y", 1, &r));
  EXPECT_EQ(r.name, "name_1.b");
  EXPECT_FALSE(r.indexed);
  EXPECT_EQ(r.end, 13u);
  ASSERT_TRUE(ScanReference("(*list[i]*)", 0, &r));
  EXPECT_TRUE(r.indexed);
  EXPECT_EQ(r.index, 'i');
  EXPECT_EQ(r.end, 11u);
  EXPECT_FALSE(ScanReference("(*na me*)", 0, &r));     // a blank ends the name
  EXPECT_FALSE(ScanReference("(**)", 0, &r));          // no name
  EXPECT_FALSE(ScanReference("(*name*", 0, &r));       // no close
  EXPECT_FALSE(ScanReference("(*list[ij]*)", 0, &r));  // index of two characters
  EXPECT_FALSE(ScanReference("(*list[i]*", 0, &r));    // cut at the end of the line
}

TEST(ParseDirective, AttributesInEveryValueForm) {
  Directive d;
  size_t end = 0;
  std::string line =
      "ab<!--ISW set A=bare B=\"dq x\" C='sq y' D=[br z] E=(*v*) F=\"a\"&(*req*)&'b' G -->tail";
  ASSERT_TRUE(ParseDirective(line, 2, Literal, &d, &end));
  EXPECT_EQ(d.tag, "set");
  EXPECT_EQ(line.substr(end), "tail");
  ASSERT_EQ(d.attrs.size(), 7u);
  EXPECT_EQ(d.Find("a")->Value(), "bare");
  EXPECT_EQ(d.Find("B")->Value(), "dq x");
  EXPECT_EQ(d.Find("C")->Value(), "sq y");
  EXPECT_EQ(d.Find("D")->Value(), "br z");
  EXPECT_EQ(d.Find("E")->Value(), "<v>");
  EXPECT_EQ(d.Find("E")->ValueOrigin(), Origin::kProgram);
  EXPECT_EQ(d.Find("F")->Value(), "a<req>b");
  EXPECT_EQ(d.Find("F")->ValueOrigin(), Origin::kRequest);
  ASSERT_EQ(d.Find("F")->pieces.size(), 3u);
  EXPECT_FALSE(d.Find("G")->hasValue);
  EXPECT_EQ(d.Find("G")->Value(), "");
}

TEST(ParseDirective, EndsAtGreaterThanOrDashes) {
  Directive d;
  size_t end = 0;
  std::string line = "<!--ISW SET x=1>rest -->";
  ASSERT_TRUE(ParseDirective(line, 0, Literal, &d, &end));
  EXPECT_EQ(d.Find("x")->Value(), "1");
  EXPECT_EQ(line.substr(end), "rest -->");
  line = "<!--ISW SET x=1-->z";
  ASSERT_TRUE(ParseDirective(line, 0, Literal, &d, &end));
  EXPECT_EQ(d.Find("x")->Value(), "1");
  EXPECT_EQ(line.substr(end), "z");
}

TEST(ParseDirective, PlainTextCases) {
  Directive d;
  size_t end = 0;
  EXPECT_FALSE(ParseDirective("<!--ISW SET x=1", 0, Literal, &d, &end));      // no "-->"
  EXPECT_FALSE(ParseDirective("<!--isw SET x=1 -->", 0, Literal, &d, &end));  // case-sensitive
  EXPECT_FALSE(ParseDirective("<!--ISWSET -->", 0, Literal, &d, &end));       // blank required
  EXPECT_FALSE(ParseDirective("<!--ISW SET x=\"open -->", 0, Literal, &d, &end));
  // An empty name parses (the engine does not run it).
  ASSERT_TRUE(ParseDirective("<!--ISW -->", 0, Literal, &d, &end));
  EXPECT_EQ(d.tag, "");
}

TEST(IniLineBreaks, RoundTripAndLegacyBytes) {
  std::string text = "a\r\nb\rc\nd";
  std::string enc = EncodeIniLineBreaks(text);
  EXPECT_EQ(enc,
            "a\x80\x80"
            "b\x81"
            "c\x82"
            "d");
  EXPECT_EQ(DecodeIniLineBreaks(enc), text);
  EXPECT_EQ(DecodeIniLineBreaks("x\x01\x01y\x02z\x03"), "x\r\ny\rz\n");
  // A pair marker at the very end still gives one CR LF.
  EXPECT_EQ(DecodeIniLineBreaks("x\x80"), "x\r\n");
}

TEST(SessionId, RoundTripExpiryAndLimits) {
  std::string id;
  ASSERT_EQ(MakeSessionId("alice", "pw", 1, 1000, &id), 0);
  EXPECT_EQ(id[0], '2');
  SessionData s;
  ASSERT_EQ(DecodeSessionId(id, 300, 1300, &s), kSessionValid);  // at the limit: valid
  EXPECT_EQ(s.user, "alice");
  EXPECT_EQ(s.password, "pw");
  EXPECT_EQ(s.level, 1);
  EXPECT_EQ(DecodeSessionId(id, 300, 1301, &s), kSessionExpired);  // one second past
  EXPECT_EQ(DecodeSessionId(id, 0, 999999, &s), kSessionValid);    // 0: no limit
  EXPECT_EQ(DecodeSessionId(id, -5, 1301, &s), kSessionExpired);   // negative counts as 300
  EXPECT_EQ(DecodeSessionId("", 300, 1000, &s), kSessionInvalid);
  EXPECT_EQ(DecodeSessionId("garbage", 300, 1000, &s), kSessionInvalid);
  // Empty names travel as "{0}".
  ASSERT_EQ(MakeSessionId("", "", 0, 5, &id), 0);
  ASSERT_EQ(DecodeSessionId(id, 0, 5, &s), kSessionValid);
  EXPECT_EQ(s.user, "{0}");
  // 63 characters of session text fit, 64 do not.
  std::string user(63 - std::string("1000  pw 1").size(), 'u');
  EXPECT_EQ(MakeSessionId(user, "pw", 1, 1000, &id), 0);
  EXPECT_EQ(MakeSessionId(user + "u", "pw", 1, 1000, &id), -1);
  EXPECT_EQ(MakeSessionId("a b", "pw", 1, 1000, &id), -1);
}

}  // namespace
}  // namespace web

#include "web/url_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "web/web_results.h"

namespace web {
namespace {

TEST(FormVariables, NamesWithoutCaseReplaceInPlaceAndNewNamesAppend) {
  CFormVariables v;
  v.Set("Alpha", "1");
  v.Set("beta", "2");
  v.Set("ALPHA", "3");
  ASSERT_EQ(v.Count(), 2u);
  EXPECT_EQ(v.NameAt(0), "Alpha");
  EXPECT_EQ(v.ValueAt(0), "3");
  EXPECT_EQ(v.Get("alpha"), "3");
  EXPECT_EQ(v.Find("gamma"), nullptr);
  EXPECT_EQ(v.Get("gamma"), "");
  // Past the first capacity of 20 and its step: every entry stays reachable in order.
  for (int i = 0; i < 45; ++i) v.Set("n" + std::to_string(i), std::to_string(i));
  ASSERT_EQ(v.Count(), 47u);
  EXPECT_EQ(v.NameAt(46), "n44");
  EXPECT_EQ(v.Get("N20"), "20");
  v.Set("N44", "last");  // replaced in place among many
  ASSERT_EQ(v.Count(), 47u);
  EXPECT_EQ(v.ValueAt(46), "last");
}

TEST(FormVariables, ValuesKeepNulBytes) {
  CFormVariables v;
  std::string value("a\0b\0", 4);
  v.Set("f", value);
  EXPECT_EQ(v.Get("f").size(), 4u);
  EXPECT_EQ(v.Get("f"), value);
}

TEST(UrlDecode, PlusPercentAndBadEscapes) {
  EXPECT_EQ(UrlDecodeValue("a+b"), "a b");
  EXPECT_EQ(UrlDecodeValue("x%41%2b%2F"), "xA+/");
  EXPECT_EQ(UrlDecodeValue("%"), "%");
  EXPECT_EQ(UrlDecodeValue("%4"), "%4");
  EXPECT_EQ(UrlDecodeValue("%4g"), "%4g");
  EXPECT_EQ(UrlDecodeValue("50%"), "50%");
  EXPECT_EQ(UrlDecodeValue("%00"), std::string(1, '\0'));
  EXPECT_EQ(UrlDecodeValue("%ff"), std::string(1, '\xff'));
}

TEST(UrlDecode, RepeatedNamesKeepTheLastValue) {
  CFormVariables v;
  DecodeUrlEncoded("a=1&a=2", &v);
  ASSERT_EQ(v.Count(), 1u);
  EXPECT_EQ(v.Get("a"), "2");
}

TEST(UrlDecode, NamesAreVerbatimValuesDecoded) {
  CFormVariables v;
  DecodeUrlEncoded("name%41=x&v=x%41&p=a+b", &v);
  EXPECT_NE(v.Find("name%41"), nullptr);
  EXPECT_EQ(v.Find("nameA"), nullptr);
  EXPECT_EQ(v.Get("name%41"), "x");
  EXPECT_EQ(v.Get("v"), "xA");
  EXPECT_EQ(v.Get("p"), "a b");
}

TEST(UrlDecode, ItemWithoutEqualsIsANameWithEmptyValue) {
  CFormVariables v;
  DecodeUrlEncoded("flag&b=2&&last", &v);
  ASSERT_EQ(v.Count(), 3u);
  EXPECT_EQ(v.NameAt(0), "flag");
  EXPECT_EQ(v.ValueAt(0), "");
  EXPECT_EQ(v.Get("b"), "2");
  EXPECT_EQ(v.NameAt(2), "last");
  // Only the first "=" splits: the value may hold more.
  CFormVariables w;
  DecodeUrlEncoded("e==x=y&=v", &w);
  EXPECT_EQ(w.Get("e"), "=x=y");
  EXPECT_EQ(w.Get(""), "v");
}

TEST(UrlDecode, NamesAreCutAt127Characters) {
  std::string n127(kFormNameMax, 'n');
  std::string n128(kFormNameMax + 1, 'm');
  CFormVariables v;
  DecodeUrlEncoded(n127 + "=a&" + n128 + "=b", &v);
  ASSERT_EQ(v.Count(), 2u);
  EXPECT_EQ(v.NameAt(0), n127);
  EXPECT_EQ(v.NameAt(1), std::string(kFormNameMax, 'm'));
  EXPECT_EQ(v.ValueAt(1), "b");
}

// The cursor belongs to each call: decodings on several threads do not disturb each other.
TEST(UrlDecode, ConcurrentDecodingsAreIndependent) {
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &bad] {
      std::string text;
      for (int i = 0; i < 50; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(t) + "&";
      for (int round = 0; round < 200; ++round) {
        CFormVariables v;
        DecodeUrlEncoded(text, &v);
        if (v.Count() != 50 || v.Get("k49") != std::to_string(t)) ++bad[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int b : bad) EXPECT_EQ(b, 0);
}

}  // namespace
}  // namespace web

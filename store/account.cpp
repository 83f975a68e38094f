#include "store/account.h"

#include <cctype>
#include <random>

#include "platform/text.h"
#include "store/message_text.h"

namespace store {
namespace {

constexpr unsigned char kKey1 = 0x5A;  // k1(i) = (kKey1 + i) mod 256
constexpr unsigned char kKey2 = 0x33;  // k2(i) = (kKey2 + i) mod 256

using platform::EqualNoCase;

void PutByte(std::string* out, unsigned char b) {
  *out += static_cast<char>('A' + (b >> 4));
  *out += static_cast<char>('A' + (b & 0x0F));
}

bool GetByte(const std::string& s, size_t pos, unsigned char* b) {
  if (pos + 1 >= s.size()) return false;
  int hi = s[pos] - 'A', lo = s[pos + 1] - 'A';
  if (hi < 0 || hi > 15 || lo < 0 || lo > 15) return false;
  *b = static_cast<unsigned char>(hi << 4 | lo);
  return true;
}

unsigned char Key(size_t i) {
  return static_cast<unsigned char>((kKey1 + i) & 0xFF) ^ static_cast<unsigned char>((kKey2 + i) & 0xFF);
}

}  // namespace

int CAccount::AddAlias(const std::string& text, const std::string& comment) {
  SplitResult parts = SplitAddress(text);
  for (const AliasRecord& a : aliases) {
    if (!a.deleted && EqualNoCase(a.local, parts.local) && EqualNoCase(a.domain, parts.domain)) {
      return 1;
    }
  }
  AliasRecord a;
  a.comment = comment.substr(0, kMaxAliasComment);
  a.local = parts.local.substr(0, kMaxAliasPart);
  a.domain = parts.domain.substr(0, kMaxAliasPart);
  aliases.push_back(std::move(a));
  return 0;
}

int CAccount::RemoveAlias(const std::string& text) {
  SplitResult parts = SplitAddress(text);
  for (AliasRecord& a : aliases) {
    if (!a.deleted && EqualNoCase(a.local, parts.local) && EqualNoCase(a.domain, parts.domain)) {
      a.deleted = true;
      return 0;
    }
  }
  return -1;
}

std::string ScramblePassword(const std::string& plain, unsigned char r) {
  std::string out = "2";
  PutByte(&out, r);
  for (size_t i = 0; i < plain.size(); ++i) {
    PutByte(&out, static_cast<unsigned char>(plain[i]) ^ r ^ Key(i));
  }
  return out;
}

std::string ScramblePassword(const std::string& plain) {
  static thread_local std::mt19937 rng{std::random_device{}()};
  return ScramblePassword(plain, static_cast<unsigned char>(rng() & 0xFF));
}

std::string UnscramblePassword(const std::string& s) {
  if (s.empty()) return s;
  std::string out;
  unsigned char b = 0;
  if (s[0] == '2') {
    unsigned char r = 0;
    if (!GetByte(s, 1, &r)) return std::string();
    for (size_t pos = 3, i = 0; GetByte(s, pos, &b); pos += 2, ++i) {
      out += static_cast<char>(b ^ r ^ Key(i));
    }
    return out;
  }
  if (s[0] == '1') {  // the older form: the position keys alone
    for (size_t pos = 1, i = 0; GetByte(s, pos, &b); pos += 2, ++i) {
      out += static_cast<char>(b ^ Key(i));
    }
    return out;
  }
  return s;
}

}  // namespace store

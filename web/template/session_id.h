// The session identifier that web pages carry in the hidden field `_jid`: the text
// "<time> <user> <password> <level>" (seconds since 1970; an empty user or password written as
// "{0}"; level 0 the postmaster, 1 an account owner) scrambled with the account password scramble.
// No state on the server: the identifier itself proves the login until it expires.
//
// Results of DecodeSessionId: 0 valid, 1 expired, -1 empty or undecodable. Thread-safe.
#pragma once

#include <ctime>
#include <string>

namespace web {

constexpr size_t kMaxSessionText = 63;  // longest session text that can be scrambled
constexpr int kSessionValid = 0;
constexpr int kSessionExpired = 1;
constexpr int kSessionInvalid = -1;
constexpr long kDefaultSessionDelay = 300;

struct SessionData {
  long created = 0;
  std::string user;
  std::string password;
  int level = 0;
};

// 0 with `*id` set, or -1 when the session text would be longer than kMaxSessionText or the user
// or password holds a blank (it could not be split again).
[[nodiscard]] int MakeSessionId(const std::string& user, const std::string& password, int level,
                                time_t now, std::string* id);

// `delay` seconds of validity; 0 means no limit, a negative value counts as 300. The user and
// password come back as stored ("{0}" for an empty one).
[[nodiscard]] int DecodeSessionId(const std::string& id, long delay, time_t now, SessionData* out);

}  // namespace web

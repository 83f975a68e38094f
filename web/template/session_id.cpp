#include "web/template/session_id.h"

#include <cstdio>
#include <sstream>

#include "platform/profile.h"
#include "store/account.h"

namespace web {

int MakeSessionId(const std::string& user, const std::string& password, int level, time_t now,
                  std::string* id) {
  if (id == nullptr) return -1;
  std::string u = user.empty() ? "{0}" : user;
  std::string p = password.empty() ? "{0}" : password;
  if (u.find_first_of(" \t\r\n") != std::string::npos ||
      p.find_first_of(" \t\r\n") != std::string::npos) {
    return -1;
  }
  std::string text =
      std::to_string(static_cast<long>(now)) + " " + u + " " + p + " " + std::to_string(level);
  if (text.size() > kMaxSessionText) return -1;
  *id = store::ScramblePassword(text);
  return 0;
}

int DecodeSessionId(const std::string& id, long delay, time_t now, SessionData* out) {
  if (id.empty() || out == nullptr || id[0] != '2') return kSessionInvalid;
  std::string text = store::UnscramblePassword(id);
  if (text == id) return kSessionInvalid;  // not a scramble
  std::istringstream in(text);
  std::string t, u, p, l;
  if (!(in >> t >> u >> p >> l)) return kSessionInvalid;
  for (char c : t) {
    if (c < '0' || c > '9') return kSessionInvalid;
  }
  long created = platform::ParseDecimal(t);
  if (delay < 0) delay = kDefaultSessionDelay;
  if (delay != 0 && static_cast<long>(now) > created + delay) return kSessionExpired;
  out->created = created;
  out->user = u;
  out->password = p;
  out->level = static_cast<int>(platform::ParseDecimal(l));
  return kSessionValid;
}

}  // namespace web

#include "store/account_table.h"

#include <cctype>

#include "toolkit/wildcard.h"

namespace store {
namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

enum class AliasMatch { kNone, kWildcard, kExact };

AliasMatch Match(const AliasRecord& a, const std::string& key, const std::string& keyDomain) {
  if (a.local.find('*') != std::string::npos && !a.domain.empty()) {
    return toolkit::WildcardMatch(key, a.local) && EqualNoCase(keyDomain, a.domain)
               ? AliasMatch::kWildcard
               : AliasMatch::kNone;
  }
  std::string alias = a.domain.empty() ? a.local : a.local + "@" + a.domain;
  return EqualNoCase(alias, key) ? AliasMatch::kExact : AliasMatch::kNone;
}

}  // namespace

const CAccount* CAccountTable::FindAccount(const std::string& name) const {
  for (const CAccount& a : accounts_) {
    if (!a.deleted && EqualNoCase(a.name, name)) return &a;
  }
  return nullptr;
}

CAccount* CAccountTable::FindAccount(const std::string& name) {
  return const_cast<CAccount*>(static_cast<const CAccountTable*>(this)->FindAccount(name));
}

int CAccountTable::LookupLocal(const std::string& local, const std::string& domain,
                               std::string* account) const {
  std::string key = domain.empty() ? local : local + "@" + domain;
  const CAccount* wildcard = nullptr;
  const CAccount* defaultWildcard = nullptr;
  for (const CAccount& a : accounts_) {
    if (a.deleted) continue;
    if ((domain.empty() || EqualNoCase(domain, "[uucp]")) && EqualNoCase(a.name, local)) {
      *account = a.name;
      return 1;
    }
    for (const AliasRecord& alias : a.aliases) {
      if (alias.deleted) continue;
      switch (Match(alias, key, domain)) {
        case AliasMatch::kExact:
          *account = a.name;
          return 1;
        case AliasMatch::kWildcard:
          if (EqualNoCase(a.name, kDefaultAccount)) {
            if (!defaultWildcard) defaultWildcard = &a;
          } else if (!wildcard) {
            wildcard = &a;
          }
          break;
        case AliasMatch::kNone:
          break;
      }
    }
  }
  const CAccount* found = wildcard ? wildcard : defaultWildcard;
  if (!found) return 0;
  *account = found->name;
  return 1;
}

int CAccountTable::GetVacation(const std::string& name) const {
  const CAccount* a = FindAccount(name);
  return a ? a->vacation : 0;
}

}  // namespace store

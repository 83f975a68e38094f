#include "store/account_table.h"

#include <cctype>

#include "platform/text.h"
#include "toolkit/wildcard.h"

namespace store {
namespace {

using platform::EqualNoCase;
std::string Lower(const std::string& s) { return platform::ToLower(s); }

bool IsWildcard(const AliasRecord& a) {
  return a.local.find('*') != std::string::npos && !a.domain.empty();
}

enum class AliasMatch { kNone, kWildcard, kExact };

AliasMatch Match(const AliasRecord& a, const std::string& key, const std::string& keyDomain) {
  if (IsWildcard(a)) {
    return toolkit::WildcardMatch(key, a.local) && EqualNoCase(keyDomain, a.domain)
               ? AliasMatch::kWildcard
               : AliasMatch::kNone;
  }
  std::string alias = a.domain.empty() ? a.local : a.local + "@" + a.domain;
  return EqualNoCase(alias, key) ? AliasMatch::kExact : AliasMatch::kNone;
}

}  // namespace

void CAccountTable::BuildIndex() {
  names_.clear();
  exact_.clear();
  wildcards_.clear();
  for (size_t i = 0; i < accounts_.size(); ++i) {
    const CAccount& a = accounts_[i];
    if (a.deleted) continue;
    names_.emplace(Lower(a.name), i);  // keeps the first of equal names
    for (size_t k = 0; k < a.aliases.size(); ++k) {
      const AliasRecord& alias = a.aliases[k];
      if (alias.deleted) continue;
      if (IsWildcard(alias)) {
        wildcards_.emplace_back(i, k);
      } else {
        exact_.emplace(Lower(alias.domain.empty() ? alias.local : alias.local + "@" + alias.domain), i);
      }
    }
  }
  indexed_ = true;
}

const CAccount* CAccountTable::FindAccount(const std::string& name) const {
  if (indexed_) {
    auto it = names_.find(Lower(name));
    return it == names_.end() ? nullptr : &accounts_[it->second];
  }
  for (const CAccount& a : accounts_) {
    if (!a.deleted && EqualNoCase(a.name, name)) return &a;
  }
  return nullptr;
}

CAccount* CAccountTable::FindAccount(const std::string& name) {
  return const_cast<CAccount*>(static_cast<const CAccountTable*>(this)->FindAccount(name));
}

const CAccount* CAccountTable::FindByExactAlias(const std::string& text) const {
  if (indexed_) {
    auto it = exact_.find(Lower(text));
    return it == exact_.end() ? nullptr : &accounts_[it->second];
  }
  for (const CAccount& a : accounts_) {
    if (a.deleted) continue;
    for (const AliasRecord& alias : a.aliases) {
      if (alias.deleted || IsWildcard(alias)) continue;
      if (EqualNoCase(alias.domain.empty() ? alias.local : alias.local + "@" + alias.domain, text)) return &a;
    }
  }
  return nullptr;
}

int CAccountTable::LookupLocal(const std::string& local, const std::string& domain,
                               std::string* account) const {
  if (!indexed_) return ScanLookup(local, domain, account);
  std::string key = domain.empty() ? local : local + "@" + domain;
  // An exact match anywhere wins; of several, the first in table order.
  size_t best = accounts_.size();
  if (domain.empty() || EqualNoCase(domain, "[uucp]")) {
    if (auto it = names_.find(Lower(local)); it != names_.end()) best = it->second;
  }
  if (auto it = exact_.find(Lower(key)); it != exact_.end() && it->second < best) best = it->second;
  if (best < accounts_.size()) {
    *account = accounts_[best].name;
    return 1;
  }
  const CAccount* defaultWildcard = nullptr;
  for (const auto& [i, k] : wildcards_) {
    if (Match(accounts_[i].aliases[k], key, domain) != AliasMatch::kWildcard) continue;
    if (!EqualNoCase(accounts_[i].name, kDefaultAccount)) {
      *account = accounts_[i].name;
      return 1;
    }
    if (!defaultWildcard) defaultWildcard = &accounts_[i];
  }
  if (!defaultWildcard) return 0;
  *account = defaultWildcard->name;
  return 1;
}

int CAccountTable::ScanLookup(const std::string& local, const std::string& domain,
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

bool CAccountStore::TakeInUse(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool& mark = inUse_[Lower(name)];
  if (mark) return false;
  mark = true;
  return true;
}

void CAccountStore::ClearInUse(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  inUse_.erase(Lower(name));
}

MailboxCounters CAccountStore::Counters(const CAccount& account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counters_.find(Lower(account.name));
  if (it != counters_.end()) return it->second;
  return MailboxCounters{account.msgNmbr, account.boxSize};
}

void CAccountStore::SetCounters(const std::string& name, MailboxCounters counters) {
  std::lock_guard<std::mutex> lock(mutex_);
  counters_[Lower(name)] = counters;
}

}  // namespace store

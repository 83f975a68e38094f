// TEMPORARY STUB (not committed)
#include "outbound/dns_resolver.h"
namespace outbound {
CDnsResolver::CDnsResolver(ResolverSettings) {}
CDnsResolver::~CDnsResolver() = default;
void CDnsResolver::Reset() {}
int CDnsResolver::Resolve(const std::string&, int, std::string& r) { r = "0.0.0.0 (Not found. All DNS called)"; return -1; }
bool CDnsResolver::DomainDoesNotExist() const { return false; }
}

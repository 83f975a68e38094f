// Test driver for the integration tests: walks the routes of one domain as the SMTP client
// does, attempt 0, 1, 2, ... until the resolver has none left (or a cap is reached), and prints
// one line per attempt, then whether the domain does not exist.
// Usage: route_walker SERVER1 SERVER2 PORT TIMEOUT SMTPPORT LOGPATH DOMAIN [MAXATTEMPTS]
// SERVER1/SERVER2 may be "-" for empty. Lines: "attempt N: RC RESULT", then "nxdomain: 0|1",
// "error: CODE TEXT".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "outbound/dns_resolver.h"

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: %s SERVER1 SERVER2 PORT TIMEOUT SMTPPORT LOGPATH DOMAIN [MAXATTEMPTS]\n",
                 argv[0]);
    return 2;
  }
  auto server = [](const char* s) { return std::string(s) == "-" ? std::string() : s; };
  outbound::ResolverSettings s;
  s.server1 = server(argv[1]);
  s.server2 = server(argv[2]);
  s.port = std::atoi(argv[3]);
  s.timeoutSeconds = std::atoi(argv[4]);
  s.smtpPort = std::atoi(argv[5]);
  s.logPath = argv[6];
  s.logging = !s.logPath.empty() && s.logPath != "-";
  const std::string domain = argv[7];
  const int maxAttempts = argc > 8 ? std::atoi(argv[8]) : 50;
  outbound::CDnsResolver resolver(s);
  resolver.Reset();
  for (int attempt = 0; attempt < maxAttempts; ++attempt) {
    std::string result;
    int rc = resolver.Resolve(domain, attempt, result);
    std::printf("attempt %d: %d %s\n", attempt, rc, result.c_str());
    if (rc < 0 || rc == outbound::kResolvedDirect) break;
  }
  std::printf("nxdomain: %d\n", resolver.DomainDoesNotExist() ? 1 : 0);
  std::printf("error: %d%s\n", resolver.ErrorCode(), resolver.ErrorText().c_str());
  return 0;
}

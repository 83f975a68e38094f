// CDnsResolver: the server's own stub resolver for mail routing.
//
// It sends MX queries over UDP to the configured DNS servers (server1, falling back to
// server2), keeps every record of the answers in one table (at most 200 entries per domain,
// duplicates kept once), follows referrals through glue addresses, and hands out, one attempt
// after another, the best mail exchanger, then its addresses, then the next exchanger. When no
// server yields an exchanger it checks whether the domain itself takes SMTP connections.
//
// One object per delivery thread; Reset() before each domain. Never throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace outbound {

// What the resolver reads from the settings (section DNS) at each Reset().
struct ResolverSettings {
  std::string server1;
  std::string server2;
  int port = 53;
  int timeoutSeconds = 20;
  bool logging = false;
  std::string logPath;  // H/dns.log
  int smtpPort = 25;    // port of the direct connection check
};

// Error codes of the last failure (0 = none).
enum DnsError {
  kDnsNoSocketObject = -11,
  kDnsCreateFailed = -12,
  kDnsConnectFailed = -13,
  kDnsSendFailed = -14,
  kDnsTimedOut = -15,
  kDnsReceiveFailed = -16,
  kDnsCompressFailed = -21,
  kDnsExpandFailed = -22,
  kDnsRcode = -31,
};

// The class of an error code for callers: -30, -20, -10, 0 or -100.
int DnsErrorClass(int code);

// resolve() results.
constexpr int kResolvedHost = 0;    // a host name or a dotted address
constexpr int kResolvedDirect = 1;  // the domain itself takes SMTP connections
constexpr int kNotResolved = -1;    // "0.0.0.0 (Not found. All DNS called)"

// What the SMTP client asks of a resolver (a seam: tests give it a scripted one).
class IRouteResolver {
 public:
  virtual ~IRouteResolver() = default;
  virtual void Reset() = 0;
  virtual int Resolve(const std::string& domain, int attempt, std::string& result) = 0;
  virtual bool DomainDoesNotExist() const = 0;
};

class CDnsResolver : public IRouteResolver {
 public:
  // Settings are copied at construction and again at each Reset(settings).
  explicit CDnsResolver(ResolverSettings settings);
  ~CDnsResolver();
  CDnsResolver(const CDnsResolver&) = delete;
  CDnsResolver& operator=(const CDnsResolver&) = delete;

  // Starts a new domain: servers from the settings, state 1, query count 0, table cleared.
  void Reset() override;
  void Reset(const ResolverSettings& settings);

  // Attempt 0, 1, 2, ... for one domain until it returns kNotResolved or the caller is done.
  // `result` receives the host name, the dotted address, the domain (kResolvedDirect) or
  // "0.0.0.0 (Not found. All DNS called)".
  int Resolve(const std::string& domain, int attempt, std::string& result) override;

  // True when the last answer had RCODE 3 (name error) with AA set: the domain does not exist.
  bool DomainDoesNotExist() const override;

  int ErrorCode() const;
  const std::string& ErrorText() const;

  class CState;  // the resolver's working state (dns_resolver.cpp)

 private:
  std::unique_ptr<CState> state_;
};

// One MX query to `server`:`port` with logging on for its duration (the set-up console's
// diagnostic). Returns the query result (0 answered, negative error code); `report` receives a
// readable account of what was found.
int DiagnosticMxQuery(const ResolverSettings& settings, const std::string& name,
                      const std::string& server, int port, int timeoutSeconds, std::string& report);

}  // namespace outbound

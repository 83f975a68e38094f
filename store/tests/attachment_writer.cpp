// Test driver for the integration tests: queues one attachment message into HOME/INQUEUE the way
// the server's writers do (the list command "getfile" and the command queue's send-file
// command), so that the running server distributes it and real clients decode it.
// Usage: attachment_writer HOME DOMAIN RECIPIENT FILE ENCODING(uu|qp|plain|base64) [TEXT]
// RECIPIENT is a local account's name or a remote address (the item then goes straight into the
// outbound queue of its route, as the writers put it there).
// Exit status 0 when queued; otherwise the writer's result is printed.
#include <cstdio>
#include <cstring>
#include <string>

#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/generated_messages.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s HOME DOMAIN RECIPIENT FILE uu|qp|plain|base64 [TEXT]\n",
                 argv[0]);
    return 2;
  }
  const std::string home = argv[1], domain = argv[2], account = argv[3], file = argv[4];
  const std::string encodingName = argv[5];
  int encoding = encodingName == "uu"      ? store::kAttachUuencode
                 : encodingName == "qp"    ? store::kAttachQuotedPrintable
                 : encodingName == "plain" ? store::kAttachPlain
                                           : 0;
  store::CDomainTable domains;
  store::DomainSnapshot d;
  d.ownDomain = domain;
  domains.Load(home, d);
  store::CAccountTable table;
  for (const std::string& name : {std::string(store::kMasterAccount), account}) {
    store::CAccount a;
    a.name = name;
    a.AddAlias(name + "@" + domain);
    table.Accounts().push_back(a);
  }
  store::CAccountStore accounts;
  accounts.Replace(table);
  store::GeneratedContext ctx;
  ctx.home = home;
  ctx.primaryDomain = domain;
  ctx.product = "Varnel";
  ctx.domains = &domains;
  ctx.accounts = &accounts;
  std::string to = account.find('@') == std::string::npos ? account + "@" + domain : account;
  int rc = store::QueueAttachmentMessage(ctx, to, "your file", "master@" + domain, file, encoding,
                                         argc > 6 ? argv[6] : "", "");
  if (rc != 0) std::printf("%d\n", rc);
  return rc == 0 ? 0 : 1;
}

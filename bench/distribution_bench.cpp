// Benchmark: local distribution. Queues N messages of about 4 KB, each for three local accounts,
// into INQUEUE, then times one distribution run that stores every copy (each synced before its
// item leaves the queue). Prints messages and mailbox copies per second. With a number of stored
// messages, each mailbox first holds that many 2 KB messages (written directly, numbered as the
// store numbers them, its sequence file at the last number), as a long-time user's would.
// With "replies", each account has a vacation and an auto-reply whose texts are absent, so that
// every copy looks for them (in the mailbox, then in the home) and none is sent.
// Usage: distribution_bench [messages] [directory] [stored per mailbox] [replies]
//   (the directory decides the file system)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/account_table.h"
#include "store/distribution.h"
#include "store/domain_table.h"
#include "store/queue_item.h"

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::string base = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  std::string tmpl = base + "/qvdist.XXXXXX";
  long stored = argc > 3 ? std::atol(argv[3]) : 0;
  bool replies = argc > 4 && std::string(argv[4]) == "replies";
  std::string home = ::mkdtemp(tmpl.data());
  const char* names[] = {"alice", "bob", "carol"};
  store::CAccountTable table;
  for (const char* n : names) {
    store::CAccount a;
    a.name = n;
    a.AddAlias(std::string(n) + "@example.test");
    if (replies) {
      a.vacation = 1;
      a.autoReply = 1;
      a.autoReplyFile = "reply.txt";
    }
    table.Accounts().push_back(a);
    std::string box = home + "/MAILIN/" + n;
    (void)platform::MakeDirectoryTree(box);
    std::string old =
        "X-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: old\r\n\r\n";
    while (old.size() < 2048)
      old += "An old message line, kept in the mailbox for a long time.\r\n";
    for (long i = 1; i <= stored; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/m%07ld.mim", i);
      std::FILE* f = std::fopen((box + name).c_str(), "wb");
      if (f == nullptr || std::fwrite(old.data(), 1, old.size(), f) != old.size() ||
          std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot fill mailbox %s\n", n);
        return 1;
      }
    }
    if (stored > 0 && platform::WriteFileAtomic(box + "/useqf", std::to_string(stored), false) != 0)
      return 1;
  }
  if (stored > 0) (void)platform::SyncFileSystem(home);
  (void)platform::MakeDirectoryTree(home + "/INQUEUE");
  store::CAccountStore accounts;
  accounts.Replace(table);
  store::CDomainTable domains;
  store::DomainSnapshot d;
  d.ownDomain = "example.test";
  domains.Load(home, d);

  std::string body;
  while (body.size() < 4000) body += "A line of a message body that is about sixty-four bytes long.\r\n";
  for (int i = 0; i < count; ++i) {
    store::CItemWriter w;
    std::string text = "Message-Id: <" + std::to_string(i) + "@far.test>\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                       "From: zoe@far.test\r\nTo: alice@example.test\r\nSubject: bench\r\n\r\n" + body;
    if (w.Begin(home + "/INQUEUE", store::ItemKind::kInbound) != 0 || w.Write(text) != 0 ||
        w.Commit("[From]\r\nFrom=zoe@far.test\r\nSubject=bench\r\n[To]\r\nn=3\r\n0=alice@example.test\r\n"
                 "1=bob@example.test\r\n2=carol@example.test\r\n") != 0) {
      std::fprintf(stderr, "cannot queue message %d\n", i);
      return 1;
    }
  }
  store::DistributionContext ctx;
  ctx.generated.home = home;
  ctx.generated.primaryDomain = "example.test";
  ctx.generated.domains = &domains;
  ctx.generated.accounts = &accounts;
  store::CDistributor distributor;
  auto start = std::chrono::steady_clock::now();
  (void)distributor.DistributeInbound(ctx);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  size_t left = store::ListCompleteItems(home + "/INQUEUE", store::ItemKind::kInbound).size();
  size_t copies = 0;
  for (const char* n : names) {
    copies += store::ListCompleteItems(home + "/MAILIN/" + n, store::ItemKind::kMailbox).size();
  }
  copies -= static_cast<size_t>(3 * stored);
  std::printf(
      "distribution: %d messages x 3 recipients into mailboxes holding %ld each%s, in %.2f s: "
      "%.0f messages/s, %.0f mailbox copies/s (%zu copies stored, %zu items left)\n",
      count, stored, replies ? " (vacation and auto-reply on, texts absent)" : "", s, count / s,
      copies / s, copies, left);
  std::filesystem::remove_all(home);
  return left == 0 && copies == static_cast<size_t>(3 * count) ? 0 : 1;
}

// Benchmark: saving and loading 5,000 accounts with 3 aliases each, and 100,000 address
// lookups against them. Prints one line per measurement. Usage: accounts_bench [accounts]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/message_sink.h"
#include "store/account_files.h"
#include "store/account_table.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 5000;
  std::string tmpl = (std::filesystem::temp_directory_path() / "qvbench.XXXXXX").string();
  std::string home = ::mkdtemp(tmpl.data());
  core::CMessageSink sink(home + "/message.log", nullptr);
  store::CAccountFiles files(home, sink);
  files.SetDomain("example.test");

  store::CAccountTable table;
  for (int i = 0; i < count; ++i) {
    store::CAccount a;
    a.name = "user" + std::to_string(i);
    a.password = "pw" + std::to_string(i);
    a.AddAlias(a.name + "@example.test");
    a.AddAlias("alias" + std::to_string(i) + "@example.test");
    a.AddAlias("other" + std::to_string(i) + "@second.test");
    table.Accounts().push_back(std::move(a));
  }
  store::CAccount catchAll;
  catchAll.name = store::kDefaultAccount;
  catchAll.AddAlias("*@example.test");
  table.Accounts().push_back(catchAll);

  auto start = std::chrono::steady_clock::now();
  if (files.Save(table, true) != 0) return 1;
  std::printf("save %d accounts: %.3f s\n", count, Seconds(start));

  store::CAccountTable loaded;
  start = std::chrono::steady_clock::now();
  if (files.Load(&loaded) != 0) return 1;
  loaded.BuildIndex();  // as the server does when it takes a new table
  std::printf("load %d accounts: %.3f s\n", count, Seconds(start));

  constexpr int kLookups = 100000;
  int found = 0;
  std::string who;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLookups; ++i) {
    int n = (i * 7919) % count;
    switch (i % 4) {
      case 0: found += loaded.LookupLocal("user" + std::to_string(n), "example.test", &who); break;
      case 1: found += loaded.LookupLocal("other" + std::to_string(n), "second.test", &who); break;
      case 2: found += loaded.LookupLocal("nobody" + std::to_string(n), "example.test", &who); break;
      default: found += loaded.LookupLocal("nobody", "unknown.test", &who); break;
    }
  }
  double t = Seconds(start);
  std::printf("%d LookupLocal: %.3f s (%.1f us each, %d found)\n", kLookups, t,
              t * 1e6 / kLookups, found);
  std::filesystem::remove_all(home);
  return 0;
}

// Template engine benchmark: a 50 KB template with 500 variable references and 50 directives,
// rendered 10,000 times to a discarding browser. Prints renders per second and heap allocations
// per render (counted by replacing the global operator new).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/fs.h"
#include "testing/temp_dir.h"
#include "web/template/template_engine.h"
#include "web/template/template_host.h"

namespace {
std::atomic<unsigned long> gAllocations{0};
}

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class CSinkHost : public web::ITemplateHost {
 public:
  void WriteBrowser(std::string_view text) override { bytes += text.size(); }
  const web::CTemplateSettings& Settings() const override { return settings; }
  web::CTemplateSettings settings;
  size_t bytes = 0;
};

std::string MakeTemplate() {
  std::string t;
  const std::string filler =
      "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.</p>";
  int refs = 0, dirs = 0;
  for (int line = 0; refs < 500 || dirs < 50 || t.size() < 50 * 1024; ++line) {
    t += filler;
    if (refs < 500) {
      t += " (*var" + std::to_string(refs % 40) + "*) and (*user*)";
      refs += 2;
    }
    if (dirs < 50 && line % 5 == 0) {
      switch (dirs % 5) {
        case 0:
          t += "<!--ISW SET s" + std::to_string(dirs) + "=\"v\"&(*var1*) -->";
          break;
        case 1:
          t += "<!--ISW READ IF=(*var2*) EQ=value2 -->shown";
          break;
        case 2:
          t += "<!--ISW OPTION NAME=var3 VALUE=value3 -->";
          break;
        case 3:
          t += "<!--ISW REPEAT FROM=1 TO=3 FMT=\"[(*_n*)]\" -->";
          break;
        case 4:
          t += "<!--ISW CHECKBOX NAME=var4 VALUE=x -->";
          break;
      }
      ++dirs;
    }
    t += "\n";
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  long renders = argc > 1 ? std::atol(argv[1]) : 10000;
  testing_support::CTempDir dir;
  std::string path = dir / "bench.htm";
  std::string text = MakeTemplate();
  if (platform::WriteFileAtomic(path, text, false) != 0) return 1;
  CSinkHost host;
  host.settings.home = dir.path();
  web::CTemplateRequest req(&host);
  for (int i = 0; i < 40; ++i) req.vars.Set("var" + std::to_string(i), "value" + std::to_string(i));
  req.vars.SetRequest("user", "<Ann & Bob>");
  if (web::RunTemplate(req, path) != 0) return 1;  // warm-up
  unsigned long before = gAllocations.load();
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < renders; ++i) {
    if (web::RunTemplate(req, path) != 0) return 1;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsigned long allocations = gAllocations.load() - before;
  std::printf(
      "template: %zu bytes, %ld renders in %.2f s: %.0f renders/s, %.1f allocations/render, "
      "%.1f MB/s out\n",
      text.size(), renders, seconds, renders / seconds, static_cast<double>(allocations) / renders,
      host.bytes / seconds / 1e6);
  return 0;
}

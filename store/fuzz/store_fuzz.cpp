// Fuzz target: the store's text parsers. Addresses split within their limits, domain records
// keep their text through a parse and a format, scrambled passwords read back, and an envelope
// file of any content reads without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/fs.h"
#include "store/account.h"
#include "store/domain_table.h"
#include "store/message_text.h"
#include "store/queue_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  store::SplitResult r = store::SplitAddress(text);
  if (r.local.size() > store::kMaxAddressPart || r.domain.size() > store::kMaxAddressPart) {
    __builtin_trap();
  }
  store::DomainRecord d = store::ParseDomainRecord(text);
  store::DomainRecord again = store::ParseDomainRecord(store::FormatDomainRecord(d));
  if (d.name.find(':') == std::string::npos && d.route.find(':') == std::string::npos &&
      again.name != d.name) {
    __builtin_trap();
  }
  std::string plain = text.substr(0, store::kMaxPassword);
  if (store::UnscramblePassword(store::ScramblePassword(plain, size & 0xFF)) != plain) {
    __builtin_trap();
  }
  (void)store::UnscramblePassword(text);

  static const std::string path = "/tmp/store_fuzz." + std::to_string(::getpid()) + ".env";
  if (platform::WriteFileAtomic(path, text, false) == 0) {
    std::string value;
    (void)store::QueueProfileGet("To", "n", "0", &value, 16, path);
    (void)store::QueueProfileGet("From", "Subject", "", &value, 256, path);
    (void)store::QueueProfileSet("To", "0", "a@b.test", path);
    (void)store::QueueProfileGet("To", "0", "", &value, 256, path);
    if (value != "a@b.test") __builtin_trap();
  }
  return 0;
}

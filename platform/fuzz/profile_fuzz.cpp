// Fuzz target: INI documents and signal datagrams. Whatever the bytes, parsing must not fail,
// and a document written back must read back to the same text and the same values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/profile.h"
#include "platform/thread_signal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  platform::CIniDocument doc(text);
  std::string once = doc.Serialize();
  platform::CIniDocument again(once);
  if (again.Serialize() != once) __builtin_trap();
  for (const std::string& section : doc.SectionNames()) {
    for (const auto& [key, value] : doc.SectionEntries(section)) {
      // The first occurrence of a key is what a read returns.
      auto read = again.Get(section, key);
      if (!read) __builtin_trap();
    }
  }
  // Edits keep the document well formed.
  doc.Set("SMTP", "Domain", "example.test");
  if (doc.Get("smtp", "domain").value_or("") != "example.test") __builtin_trap();
  doc.DeleteSection("SMTP");
  (void)platform::ParseDecimal(text);
  (void)platform::ParseSignalDatagram(text);
  return 0;
}

#include "store/list_token.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstring>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace store {
namespace {

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace

bool HmacSha256(std::string_view key, std::string_view data, std::array<uint8_t, 32>* out) {
  unsigned int size = 0;
  return ::HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out->data(),
                &size) != nullptr &&
         size == out->size();
}

int ListSecret(const std::string& home, std::string* secret) {
  std::string path = platform::ResolvePath(platform::JoinPath(home, kListSecretFile));
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string text;
    if (platform::ReadWholeFile(path, &text) == 0) {
      if (text.size() < kListSecretSize) return -1;
      *secret = text.substr(0, kListSecretSize);
      return 0;
    }
    // Made under a name of this process and linked into place: the link fails when another
    // process made the secret meanwhile, and the next round reads that one.
    uint8_t bytes[kListSecretSize];
    if (platform::RandomBytes(bytes, sizeof bytes) != 0) return -1;
    // Each caller has a name of its own: threads of one process make it at once too.
    static std::atomic<unsigned> made{0};
    std::string temp = path + "." + std::to_string(platform::CurrentProcessId()) + "." +
                       std::to_string(made.fetch_add(1)) + ".new";
    if (platform::WriteFileAtomic(
            temp, std::string_view(reinterpret_cast<char*>(bytes), sizeof bytes)) != 0) {
      return -1;
    }
    (void)platform::LinkFile(temp, path);
    (void)platform::RemoveFile(temp);
  }
  return -1;
}

std::string ConfirmationToken(std::string_view secret, std::string_view listAddress,
                              std::string_view address) {
  std::string data = platform::ToLower(listAddress) + "\n" + platform::ToLower(address);
  std::array<uint8_t, 32> mac;
  if (!HmacSha256(secret, data, &mac)) return std::string();
  return Hex(mac.data(), kConfirmationTokenSize / 2);
}

bool CheckConfirmationToken(std::string_view secret, std::string_view listAddress,
                            std::string_view address, std::string_view token) {
  std::string expected = ConfirmationToken(secret, listAddress, address);
  if (expected.empty() || token.size() != expected.size()) return false;
  unsigned diff = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    diff |= static_cast<unsigned>(platform::LowerChar(token[i]) ^ expected[i]);
  }
  return diff == 0;
}

}  // namespace store

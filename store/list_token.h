// The confirmation token of a mailing-list subscription: a keyed value that only the server can
// compute, so that an address is subscribed only by someone who received the confirmation
// request sent to it.
//
// The token is HMAC-SHA-256 (RFC 2104, FIPS 180-4) over the list address and the subscribed
// address (both without case), keyed with the server's list secret, its first 16 bytes written
// as 32 lower-case hexadecimal digits: one word on one line. The secret is 32 random bytes in
// the file LISTKEY.SEC of the home directory, made at first use with mode 0600 and never
// replaced while it is readable; two processes that make it at once end with the same one.
//
// Thread-safe; no state besides the secret file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace store {

constexpr char kListSecretFile[] = "LISTKEY.SEC";
constexpr size_t kListSecretSize = 32;
constexpr size_t kConfirmationTokenSize = 32;  // hexadecimal digits

// HMAC-SHA-256 of `data` keyed with `key` into `*out`; false when it could not be computed.
bool HmacSha256(std::string_view key, std::string_view data, std::array<uint8_t, 32>* out);

// Reads the secret of `home`, making it when missing. 0, or -1 when it can neither be read nor
// made (a file too short to be a secret is not used).
int ListSecret(const std::string& home, std::string* secret);

// The token that confirms `address` on the list `listAddress`; empty when it cannot be computed.
std::string ConfirmationToken(std::string_view secret, std::string_view listAddress,
                              std::string_view address);
// Whether `token` confirms `address` on the list (compared in constant time).
bool CheckConfirmationToken(std::string_view secret, std::string_view listAddress,
                            std::string_view address, std::string_view token);

}  // namespace store

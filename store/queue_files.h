// Numbering and naming of queue and mailbox files, and the status line of stored messages.
//
// NextSequenceNumber hands out 1..999999 (then 0 again) per directory through the file `useqf`,
// guarded by `useqf.tri` (created exclusively; retried for up to 5 seconds). MakeUniqueFileName
// finds the first free "<prefix><digits>.<ext>" from a first number. The status line
// "X-IStatus:" + 20 digits is rewritten in place.
//
// Thread- and process-safe through the lock file and the file system; no state.
#pragma once

#include <cstdint>
#include <string>

namespace store {

constexpr int kErrNameExhausted = -400;  // every candidate name exists
constexpr int kErrNoDirectory = -401;    // the directory does not exist
constexpr int kErrFirstTooLarge = -402;  // the first number is beyond the limit

constexpr long kSequenceMax = 999999;
constexpr unsigned kSequenceLockWaitMs = 5000;

// Status flags of the "X-IStatus:" line.
constexpr uint32_t kStatusSet = 0x002;
constexpr uint32_t kStatusUnread = 0x001;
constexpr uint32_t kStatusNew = kStatusSet | kStatusUnread;  // 3
constexpr uint32_t kStatusRead = 0x800;
constexpr uint32_t kStatusReplied = 0x200;
constexpr uint32_t kStatusRepliedAll = 0x100;
constexpr uint32_t kStatusForwarded = 0x080;
constexpr uint32_t kStatusSent = 0x420;
constexpr char kStatusPrefix[] = "X-IStatus:";
constexpr size_t kStatusLineLen = 30;

// The next number of `directory`, or -1 (lock not taken within the wait, or `useqf` unusable).
long NextSequenceNumber(const std::string& directory, unsigned lockWaitMs = kSequenceLockWaitMs);

// Sets `*out` to a free path "<directory>/<prefix><number>.<extension>". `tries` < 0 means up to
// the limit. 0, kErrNoDirectory, kErrFirstTooLarge or kErrNameExhausted.
int MakeUniqueFileName(std::string* out, const std::string& directory, const std::string& prefix,
                       long first, long tries, const std::string& extension);

// "X-IStatus:%020lu".
std::string StatusLine(uint32_t status);
// The status of a message file; 0 when it cannot be read or has no status line.
uint32_t ReadStatus(const std::string& path);
// Rewrites the first 30 characters in place. 0, or -1 when the file cannot be opened or its first
// line is not a status line.
int WriteStatus(const std::string& path, uint32_t status);
int AddStatusFlags(const std::string& path, uint32_t flags);

}  // namespace store

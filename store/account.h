// The account record and its alias and member records, as the account files store them.
#pragma once

#include <string>
#include <vector>

namespace store {

constexpr size_t kMaxAccountName = 16;
constexpr size_t kMaxPassword = 16;
constexpr size_t kMaxAliasComment = 32;
constexpr size_t kMaxAliasPart = 128;

enum AccountType : int { kAccountOrdinary = 0, kAccountList = 1, kAccountGate = 2 };

struct AliasRecord {
  std::string comment;  // "*" on disk when empty
  std::string local;    // may hold "*" patterns
  std::string domain;   // may be empty
  bool deleted = false;
};

struct MemberRecord {
  std::string name;  // display name
  std::string address;
  int state = 0;
};

struct CAccount {
  std::string name;
  std::string password;  // plain text in memory; scrambled on disk
  bool deleted = false;
  int vacation = 0;
  int autoCopy = 0;     // forward a copy and keep the message
  int autoForward = 0;  // forward and do not keep
  int autoReply = 0;
  int isList = 0;
  int isGate = 0;
  int type = kAccountOrdinary;
  std::string forwardAddresses;
  std::string autoReplyFile;
  int maxBoxSize = 0, maxMsgSize = 0, maxMsgNmbr = 0;  // limits; 0 = none
  int msgSize = 0, boxSize = 0, msgNmbr = 0;           // counters (section INFO)
  int kaldorIn = -1;                                   // web administration right; -1 unset
  int webUsage = 0, webABook = 0, pop3Client = 0;
  // Mailing-list options.
  std::string moderator;
  int moderated = 0, discard = 0, readOnly = 0, subscribeSender = 0;
  int listSubsCmd = 0, listSubsConf = 0;
  std::string listAddress, docsPath;
  int hasFiles = 0, publicFiles = 0;
  std::string displayName, addressText;
  std::vector<AliasRecord> aliases;
  std::vector<MemberRecord> members;

  // Adds "local@domain" (split like any address) unless the account has it already. 0 added,
  // 1 already there.
  int AddAlias(const std::string& text, const std::string& comment = std::string());
  // Marks the alias deleted; 0 removed, -1 not found.
  int RemoveAlias(const std::string& text);
  int DerivedType() const { return isList ? kAccountList : isGate ? kAccountGate : kAccountOrdinary; }
};

// The password scramble of the account files and web sessions: "2", a random byte, then each
// byte mixed with it and two position keys, every byte written as two letters "A"+nibble.
std::string ScramblePassword(const std::string& plain, unsigned char randomByte);
std::string ScramblePassword(const std::string& plain);
// Reads format "2" and the older format "1"; other text is returned as it is (a plain password).
std::string UnscramblePassword(const std::string& scrambled);

}  // namespace store

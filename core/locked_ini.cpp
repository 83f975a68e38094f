#include "core/locked_ini.h"

#include <thread>

#include "core/message_sink.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"

namespace core {

CLockedIniFile::CLockedIniFile(std::string iniPath)
    : iniPath_(std::move(iniPath)), lockPath_(platform::ReplaceExtension(iniPath_, "LCK")) {}

int CLockedIniFile::Acquire() {
  if (!lockingWanted_) return 0;
  std::string path = platform::ResolvePath(lockPath_);
  for (int attempt = 0;; ++attempt) {
    switch (lock_.TryAcquire(path)) {
      case platform::LockAttempt::kHeld:
      case platform::LockAttempt::kNoDirectory:
        return 0;
      case platform::LockAttempt::kBusy:
        break;
    }
    if (!platform::FileExists(path)) return 0;  // nothing to wait for: go on without lock
    if (attempt >= retryLimit_) return -1;
    platform::SleepMilliseconds(retryPauseMs_);
    std::this_thread::yield();
  }
}

int CLockedIniFile::BeginHeldLock() {
  if (spanHeld_) return 0;
  if (Acquire() != 0) return -1;
  spanHeld_ = true;
  return 0;
}

void CLockedIniFile::EndHeldLock() {
  spanHeld_ = false;
  lock_.Release();
}

int CLockedIniFile::BeginForLoadOrSave(CMessageSink& sink) {
  if (BeginHeldLock() == 0) return 0;
  std::string shown = iniPath_.substr(0, 128);
  int answer = sink.Ask(QuestionKind::kYesNoDefaultNo,
                        "Could not Lock/Open file (" + shown +
                            ").\n\nTo manually remove the lock after a crash, please delete the "
                            "corresponding .LCK file.\n\nDo you agree to remove the lock now?");
  if (answer != kAnswerYes) return -1;
  (void)platform::RemoveFile(platform::ResolvePath(lockPath_));
  lockingWanted_ = false;
  spanHeld_ = true;
  return 0;
}

bool CLockedIniFile::EnterAccess(bool* tookLock) {
  *tookLock = false;
  if (spanHeld_) return true;
  if (Acquire() != 0) return false;
  *tookLock = true;
  return true;
}

void CLockedIniFile::LeaveAccess(bool tookLock) {
  if (tookLock) lock_.Release();
}

std::string CLockedIniFile::ReadString(std::string_view section, std::string_view key,
                                       std::string_view def, size_t maxLen) {
  bool took = false;
  if (!EnterAccess(&took)) return std::string();
  std::string value = platform::GetProfileString(iniPath_, section, key, def, maxLen);
  LeaveAccess(took);
  return value;
}

long CLockedIniFile::ReadLong(std::string_view section, std::string_view key, long def) {
  return platform::ParseDecimal(ReadString(section, key, std::to_string(def)));
}

int CLockedIniFile::ReadInt(std::string_view section, std::string_view key, int def) {
  return static_cast<int>(ReadLong(section, key, def));
}

int CLockedIniFile::WriteString(std::string_view section, std::string_view key,
                                std::string_view value) {
  return WriteEntries(section, {{std::string(key), std::string(value)}});
}

int CLockedIniFile::WriteInt(std::string_view section, std::string_view key, long value) {
  return WriteString(section, key, std::to_string(value));
}

int CLockedIniFile::WriteEntries(std::string_view section,
                                 const std::vector<std::pair<std::string, std::string>>& entries) {
  return UpdateDocument([&](platform::CIniDocument* doc) {
    for (const auto& [key, value] : entries) doc->Set(section, key, value);
  });
}

int CLockedIniFile::ReadDocument(platform::CIniDocument* doc) {
  bool took = false;
  if (!EnterAccess(&took)) return -1;
  int rc = platform::LoadProfile(iniPath_, doc);
  LeaveAccess(took);
  return rc;
}

int CLockedIniFile::UpdateDocument(const std::function<void(platform::CIniDocument*)>& change,
                                   bool sync) {
  bool took = false;
  if (!EnterAccess(&took)) return -1;
  int rc = platform::UpdateProfile(iniPath_, change, sync);
  LeaveAccess(took);
  return rc;
}

int CLockedIniFile::DeleteSection(std::string_view section) {
  bool took = false;
  if (!EnterAccess(&took)) return -1;
  int rc = platform::DeleteProfileSection(iniPath_, section);
  LeaveAccess(took);
  return rc;
}

}  // namespace core

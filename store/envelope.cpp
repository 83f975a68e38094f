#include "store/envelope.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/text.h"

namespace store {

std::string EnvelopeDate(const std::tm& t) {
  char date[40];
  std::snprintf(date, sizeof date, "%02d/%02d/%04d %02d:%02d:%02d", t.tm_mday, t.tm_mon + 1,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return date;
}

std::string OneLine(std::string value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

std::string FormatEnvelope(const EnvelopeFields& f, const std::tm& now) {
  std::string text = "[From]\r\nFrom=" + OneLine(f.from) + "\r\n";
  text += "Subject=" + (f.subject.empty() ? std::string("(empty)") : OneLine(f.subject.substr(0, 255))) + "\r\n";
  if (!f.receipt.empty()) text += "Receipt=" + OneLine(f.receipt) + "\r\n";
  if (!f.replyTo.empty()) text += "ReplyTo=" + OneLine(f.replyTo) + "\r\n";
  if (!f.errorTo.empty()) text += "ErrorTo=" + OneLine(f.errorTo) + "\r\n";
  text += "IniDate=" + EnvelopeDate(now) + "\r\n[To]\r\nn=" + std::to_string(f.to.size()) + "\r\n";
  for (size_t i = 0; i < f.to.size(); ++i) text += std::to_string(i) + "=" + OneLine(f.to[i]) + "\r\n";
  size_t stepCount = 0;
  std::string steps;
  for (size_t i = 0; i < f.steps.size() && i < f.to.size(); ++i) {
    if (f.steps[i].empty()) continue;
    steps += std::to_string(i) + "=" + OneLine(f.steps[i]) + "\r\n";
    stepCount = i + 1;
  }
  if (stepCount > 0) text += "[Steps]\r\nn=" + std::to_string(stepCount) + "\r\n" + steps;
  return text;
}

namespace {

constexpr size_t kLineMax = 256;

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && platform::StartsWithNoCase(a, b);
}

// Splits "key = value"; false when the line is no key line.
bool SplitKeyLine(std::string_view line, std::string_view* key, std::string_view* value) {
  std::string_view t = SkipBlanks(line);
  size_t end = t.find_first_of("= \t");
  if (end == 0 || end == std::string_view::npos) return false;
  *key = t.substr(0, end);
  t = SkipBlanks(t.substr(end));
  if (t.empty() || t.front() != '=') return false;
  *value = SkipBlanks(t.substr(1));
  return true;
}

}  // namespace

void ParseEnvelope(std::string_view text, EnvelopeFields* f) {
  *f = EnvelopeFields{};
  enum Section { kNone, kFrom, kTo, kSteps } section = kNone;
  bool seenFrom = false, seenTo = false, seenSteps = false;
  std::map<std::string, std::string> from, to, steps;  // first line of each key, in lower case
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = line.substr(0, kLineMax);
    if (!line.empty() && line.front() == '[') {
      section = kNone;
      if (line.size() >= 2 && line.back() == ']') {
        std::string_view name = line.substr(1, line.size() - 2);
        if (EqualNoCase(name, "From") && !seenFrom) section = kFrom, seenFrom = true;
        else if (EqualNoCase(name, "To") && !seenTo) section = kTo, seenTo = true;
        else if (EqualNoCase(name, "Steps") && !seenSteps) section = kSteps, seenSteps = true;
      }
      continue;
    }
    std::string_view key, value;
    if (section == kNone || !SplitKeyLine(line, &key, &value)) continue;
    auto& keys = section == kFrom ? from : section == kTo ? to : steps;
    keys.emplace(platform::ToLower(std::string(key)), std::string(value.substr(0, kEnvelopeValueMax)));
  }
  auto get = [](const std::map<std::string, std::string>& keys, const std::string& key) {
    auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  };
  f->from = get(from, "from");
  f->subject = get(from, "subject");
  f->receipt = get(from, "receipt");
  f->replyTo = get(from, "replyto");
  f->errorTo = get(from, "errorto");
  f->iniDate = get(from, "inidate");
  f->nxtSend = get(from, "nxtsend");
  long n = std::strtol(get(to, "n").c_str(), nullptr, 10);
  for (long i = 0; i < n && i < kEnvelopeMaxRecipients; ++i) f->to.push_back(get(to, std::to_string(i)));
  f->steps.resize(f->to.size());
  long stepCount = std::strtol(get(steps, "n").c_str(), nullptr, 10);
  for (long i = 0; i < stepCount && i < static_cast<long>(f->to.size()); ++i) {
    f->steps[static_cast<size_t>(i)] = get(steps, std::to_string(i));
  }
}

int ReadEnvelope(const std::string& path, EnvelopeFields* fields) {
  std::string text;
  if (platform::ReadWholeFile(platform::ResolvePath(path), &text) != 0) {
    *fields = EnvelopeFields{};
    return -4;
  }
  ParseEnvelope(text, fields);
  return 0;
}

}  // namespace store

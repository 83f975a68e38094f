#include "store/envelope.h"

#include <cstdio>

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
  return text;
}

}  // namespace store

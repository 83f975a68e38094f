// The envelope text of a queue item: section From (sender, subject, receipt, reply and error
// addresses, creation date) and section To (the recipients numbered from 0). Empty optional keys
// are left out. Thread-safe; no state.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace store {

struct EnvelopeFields {
  std::string from;
  std::string subject;  // "(empty)" is written when empty
  std::string receipt;
  std::string replyTo;
  std::string errorTo;
  std::vector<std::string> to;
};

// "dd/mm/yyyy hh:mm:ss" of local time `t` (the IniDate key).
std::string EnvelopeDate(const std::tm& t);

// `value` as one header or INI line: every CR and LF becomes a blank, so that a value taken
// from a message or a setting can never start a line of its own.
std::string OneLine(std::string value);

// The whole envelope file, CR LF lines, dated `now`. Values are kept to one line each.
std::string FormatEnvelope(const EnvelopeFields& fields, const std::tm& now);

}  // namespace store

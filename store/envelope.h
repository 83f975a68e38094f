// The envelope file of a queue item: section From (sender, subject, receipt, reply and error
// addresses, creation date, next delivery attempt), section To ("n" and the recipients
// numbered from 0) and, for carried-over recipients, section Steps. FormatEnvelope is the one writer of whole envelopes; ReadEnvelope the one
// reader, in one pass over the file, with the rules of the queue profile reader: sections and
// keys without case, the first "[From]"/"[To]" section and the first line of a key count, a key
// is followed by "=" or a blank, lines are read up to 256 characters and values kept to 255.
// Empty optional keys are left out when writing. Thread-safe; no state.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace store {

struct EnvelopeFields {
  std::string from;
  std::string subject;  // "(empty)" is written when empty
  std::string receipt;
  std::string replyTo;
  std::string errorTo;
  std::vector<std::string> to;
  // Per recipient (same index as `to`), the one step of local distribution still to do for a
  // carried-over recipient; empty: the whole procedure. Kept in section "Steps" ("n" and the
  // recipient indexes), written only when a step is set.
  std::vector<std::string> steps;
  std::string iniDate;  // read only: FormatEnvelope writes the time it is given
  std::string nxtSend;  // read only: the outbound queue runner keeps it with the queue profile
};

// Longest value kept of an envelope key, and most recipients read.
constexpr size_t kEnvelopeValueMax = 255;
constexpr long kEnvelopeMaxRecipients = 100000;

// Reads the envelope file at `path`. 0, or -4 when it cannot be opened. Missing keys read as
// empty; "n" bounds the recipients read (missing numbers read as empty addresses).
int ReadEnvelope(const std::string& path, EnvelopeFields* fields);
// The same over the file's text.
void ParseEnvelope(std::string_view text, EnvelopeFields* fields);

// "dd/mm/yyyy hh:mm:ss" of local time `t` (the IniDate key).
std::string EnvelopeDate(const std::tm& t);

// `value` as one header or INI line: every CR and LF becomes a blank, so that a value taken
// from a message or a setting can never start a line of its own.
std::string OneLine(std::string value);

// The whole envelope file, CR LF lines, dated `now`. Values are kept to one line each.
std::string FormatEnvelope(const EnvelopeFields& fields, const std::tm& now);

}  // namespace store

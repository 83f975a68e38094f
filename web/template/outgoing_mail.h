// The writer of outgoing messages that templates and web forms queue: one queue item in the
// in-queue (busy marker, message, envelope), which the server's distribution delivers.
//
// Every value that goes into a header or the envelope is kept to one line, and addresses are
// reduced to their bare form, so request text cannot add headers or recipients. Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/template/template_host.h"

namespace web {

constexpr size_t kMaxBareAddress = 128;

// Leading blanks and a quoted display name skipped; the text between angle brackets, else the
// first word holding "@", else the last word; at most 128 characters.
std::string BareAddress(std::string_view text);
// The bare addresses of a list separated by ";" or ",", empty ones left out.
std::vector<std::string> SplitAddressList(std::string_view text);

// Writes the message into the in-queue of `settings.home`: 0, kMailNoRecipient, kMailCannotOpen
// or kMailEnvelope. `messagePath` gets the message file's path.
int QueueOutgoingMail(const CTemplateSettings& settings, const OutgoingMail& mail,
                      std::string* messagePath);

}  // namespace web

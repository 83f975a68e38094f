// The parameter lists of the extension's commands and their parser.
//
// A command's parameters are declared in order: a name, a kind (text or decimal integer) and a
// default (nullptr for a required parameter). A request's parameter list is the query text after
// the command, or a URL-encoded POST body: items separated by "&", each either "name=value"
// (assigned by name, names without regard to case) or a bare value (assigned by position, to the
// next parameter in order). Names and values are URL-decoded. The text "{0}" is the marker of an
// absent text value; Text() hands it out as "".
//
// BindParameters: kWebOk, kWebMissingParam (a required parameter not given), kWebParamCount (more
// bare values than parameters), kWebParamFormat (an unknown name, a bad integer, or a default that
// holds a single quote). No I/O; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace web {

enum class ParamKind { kText, kInt };

struct ParamSpec {
  const char* name;
  ParamKind kind;
  const char* def;  // nullptr: required
};

constexpr char kAbsentMarker[] = "{0}";

class CCommandParams {
 public:
  // The text value, with the absent marker "{0}" turned into "".
  std::string Text(std::string_view name) const;
  // The text exactly as received or defaulted.
  std::string Raw(std::string_view name) const;
  long Int(std::string_view name) const;
  bool Has(std::string_view name) const;
  size_t Count() const { return names_.size(); }

  void Add(std::string name, std::string text, long number);

 private:
  long IndexOf(std::string_view name) const;
  std::vector<std::string> names_;
  std::vector<std::string> texts_;
  std::vector<long> ints_;
};

// Splits a query into the command and the rest: the command is the text before the first "&" or
// "?"; a leading "MfcISAPICommand=<name>" names the command by its value. The command is decoded.
void SplitCommand(std::string_view query, std::string* command, std::string_view* rest);

[[nodiscard]] int BindParameters(const ParamSpec* params, size_t count, std::string_view list,
                                 CCommandParams* out);

}  // namespace web

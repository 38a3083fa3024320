// The message sink of a command: fills the placeholders and hands the text to
// the run's output.
#include <string>

#include "host/document.h"
#include "host/parser.h"
#include "host/syntax/syntax_internal.h"

namespace {

// Replaces "^1".."^5" by the arguments; a placeholder whose argument was not
// given is dropped.
std::string Fill(const char* text, const char* const (&args)[5]) {
  std::string out;
  if (text == nullptr) return out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '^' && p[1] >= '1' && p[1] <= '5') {
      const char* arg = args[p[1] - '1'];
      if (arg != nullptr) out += arg;
      ++p;
      continue;
    }
    out += *p;
  }
  return out;
}

}  // namespace

ParserMessage::ParserMessage() = default;
ParserMessage::~ParserMessage() = default;

void ParserMessage::GenericError(const char* text, const char* a1, const char* a2, const char* a3, const char* a4,
                                 const char* a5) {
  const char* const args[5] = {a1, a2, a3, a4, a5};
  host::AddMessage(host::Severity::Error, Fill(text, args), host::syntax::PlaceOfMessage(a1));
}

void ParserMessage::GenericWarning(const char* text, const char* a1, const char* a2, const char* a3, const char* a4,
                                   const char* a5) {
  const char* const args[5] = {a1, a2, a3, a4, a5};
  host::AddMessage(host::Severity::Warning, Fill(text, args), host::syntax::PlaceOfMessage(a1));
}

void ParserMessage::KeywordImproperVarList(const char* keyword, const char* /*a2*/, const char* /*a3*/) {
  std::string name = keyword != nullptr ? keyword : "";
  std::string text = "The keyword " + name + " is used improperly in a variable list";
  if (name == "TO") {
    text += ": a range needs two different variable names, as in a TO c.";
  } else {
    text += ".";
  }
  host::AddMessage(host::Severity::Error, text, host::syntax::PlaceOfMessage(keyword));
}

void ParserMessage::ParamExclAnyOther(const char* keyword, const char* subcommand) {
  std::string text = "The keyword " + std::string(keyword != nullptr ? keyword : "");
  if (subcommand != nullptr && *subcommand != '\0') text += " on the " + std::string(subcommand) + " subcommand";
  text += " cannot be combined with any other keyword.";
  host::AddMessage(host::Severity::Error, text, host::syntax::PlaceOfMessage(keyword));
}

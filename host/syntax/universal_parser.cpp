// The universal parser: checks a command's tokens against its descriptor and
// fills the parsed specification; and the objects procedures read it through.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <set>

#include "host/common/text.h"
#include "host/document.h"
#include "host/syntax/syntax_internal.h"

using host::ParamData;
using host::SubComData;
using host::Token;
namespace syntax = host::syntax;

// ---- parsed objects ----

ParamObj::ParamObj() = default;
ParamObj::ParamObj(std::shared_ptr<host::ParamData> data) : fData(std::move(data)) {}
ParamObj::ParamObj(const ParamObj&) = default;
ParamObj& ParamObj::operator=(const ParamObj&) = default;
ParamObj::~ParamObj() = default;

bool ParamObj::getTokenList(std::vector<TokenInfoObj>& tokens) const {
  if (!fData || !fData->hasList) return false;
  tokens.clear();
  tokens.reserve(fData->tokens.size());
  for (const Token& token : fData->tokens) tokens.emplace_back(token);
  return true;
}

bool ParamObj::getIntegerValue(int& value) const {
  if (fData) host::syntax::Read(fData->keyword);
  if (!fData || !fData->hasInteger) return false;
  value = fData->integer;
  return true;
}

bool ParamObj::getStringAndQual(ParamObj& out, const ParamDescriptor* /*descriptor*/,
                                ParserMessage* /*messages*/) const {
  if (fData) host::syntax::Read(fData->keyword);
  if (!fData || !fData->value) return false;
  out = ParamObj(fData->value);
  return true;
}

std::string ParamObj::getParamName() const { return fData ? fData->name : std::string(); }

bool ParamObj::getStringGeneric(std::string& text) const {
  if (!fData || !fData->hasString) return false;
  text = fData->stringValue;
  return true;
}

SubComObj::SubComObj(std::shared_ptr<host::SubComData> data) : fData(std::move(data)) {}
SubComObj::~SubComObj() = default;

ParamObj* SubComObj::getParamObj(const std::string& keyword) {
  auto it = fData->params.find(host::UpperAscii(keyword));
  return it == fData->params.end() ? nullptr : it->second.get();
}

ParamObj* SubComObj::exportParamObj() { return fData->exportObj.get(); }

int SubComObj::getTokenListSize() const { return static_cast<int>(fData->tokens.size()); }

TokenInfoObj* SubComObj::getTokenObj(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= fData->tokenObjs.size()) return nullptr;
  return &fData->tokenObjs[static_cast<std::size_t>(index)];
}

CommandSpec::CommandSpec() : fData(std::make_unique<host::CommandSpecData>()) { host::syntax::StartReading(); }
CommandSpec::~CommandSpec() { host::syntax::StopReading(); }

SubComObj* CommandSpec::getSubComObj(const std::string& name) {
  for (std::size_t k = 0; k < fData->data.size(); ++k) {
    if (host::EqualsIgnoringCase(fData->data[k]->name, name)) return fData->subcommands[k].get();
  }
  return nullptr;
}

// ---- checking ----

namespace {

// Thrown inside the check only; the message has been made but not issued.
struct SyntaxError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& text, const Token* at) {
  throw SyntaxError{text + (at != nullptr ? syntax::Where(*at) : std::string())};
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) out += (k + 1 == names.size()) ? " and " : ", ";
    out += names[k];
  }
  return out;
}

bool IsPunct(const Token& token, const char* text) { return token.kind == Token::Punct && token.text == text; }

// An integer token: an optional sign and digits only, within the int range.
std::optional<int> IntegerOf(const Token& token) {
  if (token.kind != Token::Number) return std::nullopt;
  const std::string& t = token.text;
  std::size_t start = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (start == t.size()) return std::nullopt;
  for (std::size_t k = start; k < t.size(); ++k) {
    if (t[k] < '0' || t[k] > '9') return std::nullopt;
  }
  errno = 0;
  long long value = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

class Checker {
 public:
  Checker(const std::vector<Token>& tokens, const host::CommandDescData& descriptor)
      : fTokens(tokens), fDescriptor(descriptor) {}

  host::CommandSpecData Run() {
    host::CommandSpecData spec;
    std::size_t i = 0;
    std::size_t end = NextSlash(0);
    if (end > 0) {
      const host::SubComDescData* unnamed = FindSubcommand("");
      if (unnamed == nullptr) {
        Fail("Unexpected " + syntax::Show(fTokens[0]) + " after the command name " + fDescriptor.name +
                 ": subcommands begin with \"/\"",
             &fTokens[0]);
      }
      Add(spec, *unnamed, nullptr, 0, end);
    }
    i = end;
    std::set<std::string> seen;
    while (i < fTokens.size()) {
      const Token& slash = fTokens[i];
      if (i + 1 >= fTokens.size() || fTokens[i + 1].kind != Token::Name) {
        const Token* at = i + 1 < fTokens.size() ? &fTokens[i + 1] : &slash;
        Fail("A subcommand name must follow \"/\" on the " + fDescriptor.name + " command; the valid subcommands are " +
                 SubcommandNames(),
             at);
      }
      const Token& name = fTokens[i + 1];
      const host::SubComDescData* desc = name.text.empty() ? nullptr : FindSubcommand(name.text);
      if (desc == nullptr) {
        Fail("Unknown subcommand /" + name.text + " on the " + fDescriptor.name +
                 " command; the valid subcommands are " + SubcommandNames(),
             &name);
      }
      if (!seen.insert(host::UpperAscii(desc->name)).second && !desc->repeatable) {
        Fail("The subcommand /" + desc->name + " is given more than once", &name);
      }
      end = NextSlash(i + 2);
      Add(spec, *desc, &name, i + 2, end);
      i = end;
    }
    for (const SubComDescriptor& sub : fDescriptor.subcommands) {
      const host::SubComDescData& d = sub.Data();
      if (d.required && !d.name.empty() && seen.count(host::UpperAscii(d.name)) == 0) {
        Fail("The " + fDescriptor.name + " command needs the /" + d.name + " subcommand", nullptr);
      }
    }
    return spec;
  }

 private:
  std::size_t NextSlash(std::size_t from) const {
    while (from < fTokens.size() && !IsPunct(fTokens[from], "/")) ++from;
    return from;
  }

  const host::SubComDescData* FindSubcommand(const std::string& name) const {
    for (const SubComDescriptor& sub : fDescriptor.subcommands) {
      if (host::EqualsIgnoringCase(sub.Data().name, name)) return &sub.Data();
    }
    return nullptr;
  }

  std::string SubcommandNames() const {
    std::vector<std::string> names;
    for (const SubComDescriptor& sub : fDescriptor.subcommands) {
      if (!sub.Data().name.empty()) names.push_back("/" + sub.Data().name);
    }
    return names.empty() ? "none" : JoinNames(names);
  }

  static std::string Place(const host::SubComDescData& desc) {
    return desc.name.empty() ? "in the variable list" : "on the /" + desc.name + " subcommand";
  }

  static std::string KeywordNames(const host::SubComDescData& desc) {
    std::vector<std::string> names;
    for (const ParamDescriptor& p : desc.params) names.push_back(p.Data().name);
    return JoinNames(names);
  }

  // Adds the subcommand held by tokens [from, to); header is its name token
  // (null for the unnamed one).
  void Add(host::CommandSpecData& spec, const host::SubComDescData& desc, const Token* header, std::size_t from,
           std::size_t to) {
    std::shared_ptr<SubComData> data;
    for (std::size_t k = 0; k < spec.data.size(); ++k) {
      if (spec.data[k]->name == desc.name) data = spec.data[k];  // a repeatable subcommand given again
    }
    if (!data) {
      data = std::make_shared<SubComData>();
      data->name = desc.name;
      data->exported = desc.exportList;
      spec.data.push_back(data);
      spec.subcommands.push_back(std::make_unique<SubComObj>(data));
    }
    if (from == to && !desc.allowEmpty) {
      Fail(desc.params.empty()
               ? "The /" + desc.name + " subcommand cannot be empty"
               : "The /" + desc.name + " subcommand needs at least one keyword; the valid keywords are " +
                     KeywordNames(desc),
           header);
    }
    for (std::size_t k = from; k < to; ++k) {
      data->tokens.push_back(fTokens[k]);
      data->tokenObjs.emplace_back(fTokens[k]);
    }
    if (!data->exportObj) data->exportObj = std::make_unique<ParamObj>();
    UpdateExport(*data);
    if (desc.params.empty()) {
      if (!desc.exportList && from < to) {
        Fail("Unexpected " + syntax::Show(fTokens[from]) + " " + Place(desc) + ", which takes no keywords",
             &fTokens[from]);
      }
      return;
    }
    std::size_t i = from;
    while (i < to) i = Keyword(*data, desc, i, to);
  }

  static void UpdateExport(SubComData& data) {
    // The exported list holds every token the subcommand has so far.
    auto list = std::make_shared<ParamData>();
    list->hasList = data.exported;
    list->tokens = data.tokens;
    *data.exportObj = ParamObj(list);
  }

  // A string keyword's value; one of the keyword's listed words (in their
  // spelling), when it lists any.
  std::shared_ptr<ParamData> StringValue(const host::ParamDescData& param, const host::SubComDescData& desc,
                                         const Token& value) {
    auto v = std::make_shared<ParamData>();
    v->keyword = value;
    v->hasString = true;
    v->stringValue = value.text;
    v->name = value.text;
    if (param.stringValues.empty()) return v;
    const std::string* match = nullptr;
    if (value.kind == Token::Name || value.kind == Token::String) {
      for (const std::string& s : param.stringValues) {
        if (host::EqualsIgnoringCase(s, value.text)) match = &s;
      }
    }
    if (match == nullptr) {
      Fail(param.name + "=" + value.text + " is not valid " + Place(desc) + "; use " + param.name + "=" +
               JoinOr(param.stringValues),
           &value);
    }
    v->name = *match;
    return v;
  }

  // Reads one keyword with its value starting at i; returns the position
  // after it.
  std::size_t Keyword(SubComData& data, const host::SubComDescData& desc, std::size_t i, std::size_t to) {
    const Token& key = fTokens[i];
    if (key.kind != Token::Name) {
      Fail("Unexpected " + syntax::Show(key) + " " + Place(desc) +
               " where a keyword was expected; the valid keywords are " + KeywordNames(desc),
           &key);
    }
    const host::ParamDescData* param = nullptr;
    for (const ParamDescriptor& p : desc.params) {
      if (host::EqualsIgnoringCase(p.Data().name, key.text)) param = &p.Data();
    }
    if (param == nullptr) {
      Fail("Unknown keyword " + key.text + " " + Place(desc) + "; the valid keywords are " + KeywordNames(desc), &key);
    }
    std::string upper = host::UpperAscii(param->name);
    if (data.params.count(upper) != 0 && !param->repeatable) {
      Fail("The keyword " + param->name + " is given more than once " + Place(desc), &key);
    }
    auto pd = std::make_shared<ParamData>();
    pd->name = param->name;
    pd->keyword = key;
    ++i;
    switch (param->kind) {
      case UPSpecTypes::ParamTokenList:
        pd->hasList = true;
        pd->tokens.assign(fTokens.begin() + static_cast<std::ptrdiff_t>(i),
                          fTokens.begin() + static_cast<std::ptrdiff_t>(to));
        i = to;
        break;
      case UPSpecTypes::ParamInteger: {
        const Token& value = Value(*param, desc, key, i, to, "n");
        ++i;
        pd->hasString = true;
        pd->stringValue = value.text;
        if (std::optional<int> n = IntegerOf(value)) {
          pd->hasInteger = true;
          pd->integer = *n;
        }
        break;
      }
      case UPSpecTypes::ParamQualified:
        i = Qualified(*pd, *param, desc, key, i, to);
        break;
      case UPSpecTypes::ParamString: {
        // A keyword with declared values shows the first as its example.
        const Token& value = Value(*param, desc, key, i, to,
                                   param->stringValues.empty() ? "value" : param->stringValues.front().c_str());
        ++i;
        pd->value = StringValue(*param, desc, value);
        pd->hasString = true;
        pd->stringValue = value.text;
        break;
      }
      case UPSpecTypes::ParamKeyword:
      default:
        if (i < to && (IsPunct(fTokens[i], "=") || IsPunct(fTokens[i], "("))) {
          Fail("The keyword " + param->name + " " + Place(desc) + " takes no value, but " + syntax::Show(fTokens[i]) +
                   " follows it",
               &fTokens[i]);
        }
        break;
    }
    data.params[upper] = std::make_unique<ParamObj>(pd);
    return i;
  }

  static std::string JoinOr(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
      if (k > 0) out += (k + 1 == names.size()) ? " or " : ", ";
      out += names[k];
    }
    return out;
  }

  // Checks "=" value at i and returns the value token.
  const Token& Value(const host::ParamDescData& param, const host::SubComDescData& desc, const Token& key,
                     std::size_t& i, std::size_t to, const char* example) {
    if (i >= to || !IsPunct(fTokens[i], "=")) {
      Fail("The keyword " + param.name + " " + Place(desc) + " needs a value, as in " + param.name + "=" + example,
           &key);
    }
    const Token& equals = fTokens[i];
    ++i;
    if (i >= to || fTokens[i].kind == Token::Punct) {
      Fail("The keyword " + param.name + " " + Place(desc) + " needs a value after \"=\", as in " + param.name + "=" +
               example,
           i < to ? &fTokens[i] : &equals);
    }
    return fTokens[i];
  }

  std::size_t Qualified(ParamData& pd, const host::ParamDescData& param, const host::SubComDescData& desc,
                        const Token& key, std::size_t i, std::size_t to) {
    std::vector<std::string> choices;
    for (const ParamDescriptor& q : param.qualifiers) {
      const host::ParamDescData& qd = q.Data();
      choices.push_back(qd.kind == UPSpecTypes::ParamString ? qd.name + "(name)" : qd.name);
    }
    std::string usage = param.name + "=" + JoinOr(choices);
    const Token& value = Value(param, desc, key, i, to, choices.empty() ? "value" : choices.front().c_str());
    const host::ParamDescData* qual = nullptr;
    if (value.kind == Token::Name || value.kind == Token::String) {
      for (const ParamDescriptor& q : param.qualifiers) {
        if (host::EqualsIgnoringCase(q.Data().name, value.text)) qual = &q.Data();
      }
    }
    if (qual == nullptr) {
      Fail(param.name + "=" + value.text + " is not valid " + Place(desc) + "; use " + usage, &value);
    }
    ++i;
    auto v = std::make_shared<ParamData>();
    v->name = qual->name;
    v->keyword = value;
    bool open = i < to && IsPunct(fTokens[i], "(");
    if (qual->kind == UPSpecTypes::ParamString) {
      std::string form = param.name + "=" + qual->name + "(name)";
      if (!open) Fail(param.name + "=" + qual->name + " needs a name in parentheses, as in " + form, &value);
      ++i;
      if (i >= to || fTokens[i].kind == Token::Punct) {
        Fail(param.name + "=" + qual->name + " needs a name in parentheses, as in " + form,
             i < to ? &fTokens[i] : &fTokens[i - 1]);
      }
      const Token& name = fTokens[i];
      ++i;
      if (i >= to || !IsPunct(fTokens[i], ")")) {
        Fail("\")\" is missing after " + param.name + "=" + qual->name + "(" + name.text, i < to ? &fTokens[i] : &name);
      }
      ++i;
      v->hasString = true;
      v->stringValue = name.text;
      pd.hasString = true;
      pd.stringValue = name.text;
    } else if (open) {
      Fail(param.name + "=" + qual->name + " takes no value in parentheses", &fTokens[i]);
    }
    pd.value = v;
    return i;
  }

  const std::vector<Token>& fTokens;
  const host::CommandDescData& fDescriptor;
};

}  // namespace

UniversalParser::UniversalParser(TokenSequenceBase& tokens, CommandSpec& specification, CommandDescriptor& descriptor)
    : fTokens(tokens), fSpec(specification), fDescriptor(descriptor) {}

UniversalParser::~UniversalParser() = default;

int UniversalParser::getCommandSpecifications() {
  try {
    fSpec.Data() = Checker(fTokens.Tokens(), fDescriptor.Data()).Run();
  } catch (const SyntaxError& error) {
    host::AddMessage(host::Severity::Error, error.text + ".");
    return 1;
  }
  return 0;
}

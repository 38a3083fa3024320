// Command descriptors, tokens and token sequences of the host command parser.
#include "host/common/text.h"
#include "host/syntax/syntax_internal.h"

// ---- descriptors: each keeps its own copy of everything added to it ----

ParamDescriptor::ParamDescriptor(const std::string& name, UPSpecTypes::ParamSpec kind, bool repeatable, bool optional,
                                 UPSpecTypes::BracketOptions brackets)
    : fData(std::make_unique<host::ParamDescData>()) {
  fData->name = name;
  fData->kind = kind;
  fData->repeatable = repeatable;
  fData->optional = optional;
  fData->brackets = brackets;
}
ParamDescriptor::ParamDescriptor(const ParamDescriptor& other)
    : fData(std::make_unique<host::ParamDescData>(*other.fData)) {}
ParamDescriptor& ParamDescriptor::operator=(const ParamDescriptor& other) {
  if (this != &other) fData = std::make_unique<host::ParamDescData>(*other.fData);
  return *this;
}
ParamDescriptor::~ParamDescriptor() = default;

void ParamDescriptor::addQualifDesc(const std::string& name) {
  fData->qualifiers.emplace_back(name, UPSpecTypes::ParamKeyword, false, true, UPSpecTypes::NoBrackets);
}
void ParamDescriptor::addQualifDesc(const ParamDescriptor& qualifier) { fData->qualifiers.push_back(qualifier); }
void ParamDescriptor::addStringValue(const std::string& value) { fData->stringValues.push_back(value); }

SubComDescriptor::SubComDescriptor(const std::string& name, UPSpecTypes::SubComSpec kind, bool repeatable,
                                   bool required)
    : fData(std::make_unique<host::SubComDescData>()) {
  fData->name = name;
  fData->kind = kind;
  fData->repeatable = repeatable;
  fData->required = required;
}
SubComDescriptor::SubComDescriptor(const SubComDescriptor& other)
    : fData(std::make_unique<host::SubComDescData>(*other.fData)) {}
SubComDescriptor& SubComDescriptor::operator=(const SubComDescriptor& other) {
  if (this != &other) fData = std::make_unique<host::SubComDescData>(*other.fData);
  return *this;
}
SubComDescriptor::~SubComDescriptor() = default;

void SubComDescriptor::allowSubComEmpty(bool allow) { fData->allowEmpty = allow; }
void SubComDescriptor::setExportParamDesc(UPSpecTypes::ParamSpec kind, bool /*flag*/) {
  // Only a token list can be exported.
  fData->exportList = kind == UPSpecTypes::ParamTokenList;
}
void SubComDescriptor::addParamDesc(const std::string& name, UPSpecTypes::ParamSpec kind, bool repeatable,
                                    bool optional, UPSpecTypes::BracketOptions brackets) {
  fData->params.emplace_back(name, kind, repeatable, optional, brackets);
}
void SubComDescriptor::addParamDesc(const ParamDescriptor& param) { fData->params.push_back(param); }

CommandDescriptor::CommandDescriptor(const std::string& name) : fData(std::make_unique<host::CommandDescData>()) {
  fData->name = name;
}
CommandDescriptor::~CommandDescriptor() = default;
void CommandDescriptor::addSubComDesc(const SubComDescriptor& subcommand) { fData->subcommands.push_back(subcommand); }

// ---- tokens ----

TokenInfoObj::TokenInfoObj() : fToken(std::make_unique<host::Token>()) {}
TokenInfoObj::TokenInfoObj(const host::Token& token)
    : fToken(std::make_unique<host::Token>(token)), fUpper(host::UpperAscii(token.text)) {}
TokenInfoObj::TokenInfoObj(const TokenInfoObj& other)
    : fToken(std::make_unique<host::Token>(*other.fToken)), fUpper(other.fUpper) {}
TokenInfoObj& TokenInfoObj::operator=(const TokenInfoObj& other) {
  if (this != &other) {
    fToken = std::make_unique<host::Token>(*other.fToken);
    fUpper = other.fUpper;
  }
  return *this;
}
TokenInfoObj::~TokenInfoObj() = default;
const char* TokenInfoObj::getString() const {
  host::syntax::Read(*fToken);
  return fToken->text.c_str();
}
const char* TokenInfoObj::getUpperString() const {
  host::syntax::Read(*fToken);
  return fUpper.c_str();
}

TokenSequenceBase::~TokenSequenceBase() = default;

QUVO_TokenSequence::QUVO_TokenSequence(bool current)
    : fTokens(current ? host::syntax::CurrentTokens() : std::make_shared<const std::vector<host::Token>>()) {}
QUVO_TokenSequence::~QUVO_TokenSequence() = default;
const std::vector<host::Token>& QUVO_TokenSequence::Tokens() const { return *fTokens; }

// ---- helpers ----

namespace host::syntax {

std::string Where(const Token& token) {
  if (token.line <= 0) return "";
  return " (line " + std::to_string(token.line) + ", column " + std::to_string(token.column) + ")";
}

namespace {

struct Reading {
  int depth = 0;  // CommandSpecs alive
  bool haveToken = false;
  Token last;
};

Reading& CurrentReading() {
  static Reading reading;
  return reading;
}

bool AtOrBefore(const Token& a, const Token& b) {
  return a.line < b.line || (a.line == b.line && a.column <= b.column);
}

std::string Place(const Token& token) {
  if (token.line <= 0) return "";
  return "line " + std::to_string(token.line) + ", column " + std::to_string(token.column);
}

}  // namespace

void StartReading() {
  Reading& reading = CurrentReading();
  ++reading.depth;
  reading.haveToken = false;
}

void StopReading() {
  Reading& reading = CurrentReading();
  if (reading.depth > 0) --reading.depth;
  reading.haveToken = false;
}

void Read(const Token& token) {
  Reading& reading = CurrentReading();
  if (reading.depth == 0) return;
  reading.last = token;
  reading.haveToken = true;
}

std::string PlaceOfMessage(const char* argument) {
  const Reading& reading = CurrentReading();
  if (reading.depth == 0) return "";
  if (argument != nullptr && *argument != '\0') {
    const std::shared_ptr<const std::vector<Token>> tokens = CurrentTokens();  // `match` points into it
    const Token* match = nullptr;
    for (const Token& token : *tokens) {
      if (!EqualsIgnoringCase(token.text, argument)) continue;
      if (reading.haveToken && !AtOrBefore(token, reading.last)) {
        if (match == nullptr) match = &token;  // named before it was read: the first one
        break;
      }
      match = &token;
    }
    if (match != nullptr) {
      // "CODEBOOK age. CODEBOOK sex." on one line: the writer meant the
      // period to end a command, but one inside a line belongs to the name.
      const Token* next = match + 1;
      const bool periodInLine = match->kind == Token::Name && match->text.size() > 1 && match->text.back() == '.' &&
                                next != tokens->data() + tokens->size() && next->line == match->line;
      return Place(*match) + (periodInLine ? "; a period ends a command only at the end of a line" : "");
    }
  }
  return reading.haveToken ? Place(reading.last) : "";
}

std::string Show(const Token& token) {
  switch (token.kind) {
    case Token::Name:
    case Token::Number:
      return token.text;
    case Token::String:
      return "'" + token.text + "'";
    case Token::Punct:
      break;
  }
  return "\"" + token.text + "\"";
}

}  // namespace host::syntax

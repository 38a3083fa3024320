// Host command parser: command descriptors, the current command's tokens, the
// universal parser that checks tokens against a descriptor, the parsed
// specification, and the message sink.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/api.h"

namespace UPSpecTypes {
// Kinds of subcommand.
enum SubComSpec : int { SubComPlain = 1 };
// Kinds of parameter (keyword).
enum ParamSpec : int {
  ParamKeyword = 1,    // a bare keyword: presence is all that counts
  ParamTokenList = 2,  // the subcommand's tokens kept as one list
  ParamString = 3,     // KEY=VALUE (restricted to the declared string values, if any), or a qualifier with (value)
  ParamInteger = 9,    // KEY=integer
  ParamQualified = 27  // KEY=QUALIFIER or KEY=QUALIFIER(value)
};
// Bracket options of a parameter.
enum BracketOptions : int { NoBrackets = 0 };
}  // namespace UPSpecTypes

namespace host {
struct ParamDescData;
struct SubComDescData;
struct CommandDescData;
struct ParamData;
struct SubComData;
struct CommandSpecData;
struct Token;
}  // namespace host

class HOST_API ParamDescriptor {
 public:
  ParamDescriptor(const std::string& name, UPSpecTypes::ParamSpec kind, bool repeatable, bool optional,
                  UPSpecTypes::BracketOptions brackets);
  ParamDescriptor(const ParamDescriptor&);
  ParamDescriptor& operator=(const ParamDescriptor&);
  ~ParamDescriptor();

  void addQualifDesc(const std::string& name);
  void addQualifDesc(const ParamDescriptor& qualifier);
  void addStringValue(const std::string& value);

  const host::ParamDescData& Data() const { return *fData; }

 private:
  std::unique_ptr<host::ParamDescData> fData;
};

class HOST_API SubComDescriptor {
 public:
  SubComDescriptor(const std::string& name, UPSpecTypes::SubComSpec kind, bool repeatable, bool required);
  SubComDescriptor(const SubComDescriptor&);
  SubComDescriptor& operator=(const SubComDescriptor&);
  ~SubComDescriptor();

  void allowSubComEmpty(bool allow);
  void setExportParamDesc(UPSpecTypes::ParamSpec kind, bool flag);
  void addParamDesc(const std::string& name, UPSpecTypes::ParamSpec kind, bool repeatable, bool optional,
                    UPSpecTypes::BracketOptions brackets);
  void addParamDesc(const ParamDescriptor& param);

  const host::SubComDescData& Data() const { return *fData; }

 private:
  std::unique_ptr<host::SubComDescData> fData;
};

class HOST_API CommandDescriptor {
 public:
  explicit CommandDescriptor(const std::string& name);
  ~CommandDescriptor();
  CommandDescriptor(const CommandDescriptor&) = delete;
  CommandDescriptor& operator=(const CommandDescriptor&) = delete;

  void addSubComDesc(const SubComDescriptor& subcommand);

  const host::CommandDescData& Data() const { return *fData; }

 private:
  std::unique_ptr<host::CommandDescData> fData;
};

// One token of a command.
class HOST_API TokenInfoObj {
 public:
  TokenInfoObj();
  explicit TokenInfoObj(const host::Token& token);
  TokenInfoObj(const TokenInfoObj&);
  TokenInfoObj& operator=(const TokenInfoObj&);
  ~TokenInfoObj();

  // The token's text as typed (quoted strings without their quotes), and in
  // upper case (ASCII letters only). Never null.
  const char* getString() const;
  const char* getUpperString() const;

  const host::Token& Token() const { return *fToken; }

 private:
  std::unique_ptr<host::Token> fToken;
  std::string fUpper;
};

// A sequence of command tokens.
class HOST_API TokenSequenceBase {
 public:
  virtual ~TokenSequenceBase();
  virtual const std::vector<host::Token>& Tokens() const = 0;
};

// The tokens of the command being executed (after the command name).
class HOST_API QUVO_TokenSequence : public TokenSequenceBase {
 public:
  explicit QUVO_TokenSequence(bool current);
  ~QUVO_TokenSequence() override;
  const std::vector<host::Token>& Tokens() const override;

 private:
  std::shared_ptr<const std::vector<host::Token>> fTokens;
};

class ParserMessage;
class ParamDescriptor;

// A parsed keyword (or a subcommand's exported token list).
class HOST_API ParamObj {
 public:
  ParamObj();
  explicit ParamObj(std::shared_ptr<host::ParamData> data);
  ParamObj(const ParamObj&);
  ParamObj& operator=(const ParamObj&);
  ~ParamObj();

  // The tokens in order; false when the object holds no token list.
  bool getTokenList(std::vector<TokenInfoObj>& tokens) const;
  // True and the value when the keyword carries an integer.
  bool getIntegerValue(int& value) const;
  // Makes `out` describe the qualifier or string value given with this
  // keyword (for KEY=QUALIFIER(value), out's name is the qualifier and its
  // string is the value).
  bool getStringAndQual(ParamObj& out, const ParamDescriptor* descriptor, ParserMessage* messages) const;
  // The keyword, qualifier or string value held, as written in the
  // descriptor (upper case).
  std::string getParamName() const;
  // The string value held (for example the attribute name of
  // VARORDER=ATTRIBUTE(name)), as typed.
  bool getStringGeneric(std::string& text) const;

 private:
  std::shared_ptr<host::ParamData> fData;
};

class HOST_API SubComObj {
 public:
  explicit SubComObj(std::shared_ptr<host::SubComData> data);
  ~SubComObj();

  // The parsed keyword, or null when it was not given.
  ParamObj* getParamObj(const std::string& keyword);
  // The object holding the subcommand's whole token list.
  ParamObj* exportParamObj();
  int getTokenListSize() const;
  TokenInfoObj* getTokenObj(int index);

 private:
  std::shared_ptr<host::SubComData> fData;
};

class HOST_API CommandSpec {
 public:
  CommandSpec();
  ~CommandSpec();
  CommandSpec(const CommandSpec&) = delete;
  CommandSpec& operator=(const CommandSpec&) = delete;

  // The parsed subcommand ("" for the unnamed one), or null when not given.
  SubComObj* getSubComObj(const std::string& name);

  host::CommandSpecData& Data() { return *fData; }

 private:
  std::unique_ptr<host::CommandSpecData> fData;
};

class HOST_API UniversalParser {
 public:
  UniversalParser(TokenSequenceBase& tokens, CommandSpec& specification, CommandDescriptor& descriptor);
  ~UniversalParser();
  // 0 when the tokens match the descriptor and the parsed command is filled in;
  // otherwise the problem has been reported as an error.
  int getCommandSpecifications();

 private:
  TokenSequenceBase& fTokens;
  CommandSpec& fSpec;
  CommandDescriptor& fDescriptor;
};

// The message sink of one command. Messages go to the host output in the
// order issued; "^1".."^5" are replaced by the arguments (null: not given).
class HOST_API ParserMessage {
 public:
  ParserMessage();
  ~ParserMessage();

  void GenericError(const char* text, const char* a1 = nullptr, const char* a2 = nullptr, const char* a3 = nullptr,
                    const char* a4 = nullptr, const char* a5 = nullptr);
  void GenericWarning(const char* text, const char* a1 = nullptr, const char* a2 = nullptr, const char* a3 = nullptr,
                      const char* a4 = nullptr, const char* a5 = nullptr);
  // The host's message that a keyword is used improperly in a variable list.
  void KeywordImproperVarList(const char* keyword, const char* a2, const char* a3);
  // The host's message that a keyword excludes every other keyword of its
  // subcommand.
  void ParamExclAnyOther(const char* keyword, const char* subcommand);
};

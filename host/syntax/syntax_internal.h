// Internal state behind the command parser classes of host/parser.h: the
// descriptor data, the parsed specification and the helpers shared by the
// tokenizer, the universal parser and the message sink.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/command.h"
#include "host/parser.h"

namespace host {

struct ParamDescData {
  std::string name;
  UPSpecTypes::ParamSpec kind = UPSpecTypes::ParamKeyword;
  bool repeatable = false;
  bool optional = true;
  UPSpecTypes::BracketOptions brackets = UPSpecTypes::NoBrackets;
  std::vector<ParamDescriptor> qualifiers;  // kind 27: the values it accepts
  std::vector<std::string> stringValues;    // kind 3: the values it accepts (any when empty)
};

struct SubComDescData {
  std::string name;  // "" for the unnamed subcommand
  UPSpecTypes::SubComSpec kind = UPSpecTypes::SubComPlain;
  bool repeatable = false;
  bool required = false;
  bool allowEmpty = false;
  bool exportList = false;  // the subcommand's tokens are kept as one list
  std::vector<ParamDescriptor> params;
};

struct CommandDescData {
  std::string name;
  std::vector<SubComDescriptor> subcommands;
};

// A parsed keyword, a qualifier or string value given with one, or a
// subcommand's whole token list.
struct ParamData {
  std::string name;  // the keyword, qualifier or declared value as in the descriptor
  bool hasList = false;
  std::vector<Token> tokens;
  bool hasInteger = false;
  int integer = 0;
  bool hasString = false;
  std::string stringValue;           // as typed
  std::shared_ptr<ParamData> value;  // kind 27 and kind 3: what was given after "="
  Token keyword;                     // where the keyword stood
};

struct SubComData {
  std::string name;  // as in the descriptor
  std::vector<Token> tokens;
  std::vector<TokenInfoObj> tokenObjs;
  bool exported = false;
  // Parsed keywords by upper-case name. The ParamObj wrappers live here so
  // that pointers handed out stay valid as long as the parsed command.
  std::map<std::string, std::unique_ptr<ParamObj>> params;
  std::unique_ptr<ParamObj> exportObj;
};

struct CommandSpecData {
  std::vector<std::unique_ptr<SubComObj>> subcommands;
  std::vector<std::shared_ptr<SubComData>> data;  // same order
};

namespace syntax {

// " (line L, column C)", or "" when the token has no position.
std::string Where(const Token& token);
// How a token is shown in a message: names and numbers as typed, strings in
// quotes, punctuation in quotes.
std::string Show(const Token& token);
// The tokens of the current command, shared with the token sequences made
// from it.
std::shared_ptr<const std::vector<Token>> CurrentTokens();

// Where the procedure stands while it reads a parsed command: the token it
// read last (a list token, or the keyword whose value it took). Reading lasts
// as long as the command's CommandSpec, so the run's own messages ("Empty
// dataset.") are never placed in the command.
void StartReading();
void StopReading();
void Read(const Token& token);
// "line L, column C" of what a message issued now is about: the last token
// read so far whose text is `argument` (ignoring case), else the token read
// last; "" outside reading or when nothing has a place. A name ending with a
// period that more of the command follows on its line adds why it is a name.
std::string PlaceOfMessage(const char* argument);

}  // namespace syntax
}  // namespace host

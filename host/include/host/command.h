// Command syntax as the program hands it to the host: tokens, commands split
// from a syntax text, and the current command that procedures parse.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/api.h"

namespace host {

struct Token {
  enum Kind { Name, Number, String, Punct };
  Kind kind = Name;
  std::string text;     // as typed; a string without its quotes, doubled quotes undone
  double number = 0.0;  // Number tokens
  int line = 0;         // 1-based position of the token's first character
  int column = 0;
};

struct Command {
  Token name;                 // the command name (first token)
  std::vector<Token> tokens;  // the tokens after the name, terminator excluded
  std::string source;         // file name or "<command line>", for messages
  std::string error;          // non-empty when the command text could not be tokenized
};

// Splits syntax text into commands. A command ends with "." at the end of a
// line or at the end of the text; end of text also ends the last command.
HOST_API std::vector<Command> SplitCommands(std::string_view text, const std::string& sourceName);

// Warnings for CODEBOOK commands that a comment command took in (a "*" line
// without its period runs on over the lines after it), one per comment.
HOST_API std::vector<std::string> CommandsInComments(std::string_view text, const std::string& sourceName);

// The command that the next procedure call parses (QUVO_TokenSequence(true)).
HOST_API void SetCurrentCommand(const Command& command);
HOST_API const Command& CurrentCommand();

}  // namespace host

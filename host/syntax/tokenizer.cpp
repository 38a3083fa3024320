// Splits syntax text into commands and tokens, and keeps the command that the
// next procedure call parses.
#include <charconv>
#include <cstdlib>
#include <string>

#include "host/command.h"
#include "host/common/text.h"
#include "host/syntax/syntax_internal.h"

namespace host {
namespace {

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsNameStart(unsigned char c) { return IsLetter(c) || c == '@' || c == '#' || c == '$'; }
bool IsNameChar(unsigned char c) {
  return IsLetter(c) || IsDigit(c) || c == '.' || c == '_' || c == '$' || c == '#' || c == '@';
}
bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The bytes of a blank that is no ASCII space at `at` (0: none): a no-break
// space (U+00A0, U+202F, U+2007) or a zero-width one (U+200B), which syntax
// copied from a document or a web page holds, and a byte order mark (U+FEFF)
// that two files joined into one leave inside. As letters they would join two
// names into one that looks like both, or make an invisible command name.
std::size_t WideBlank(std::string_view text, std::size_t at) {
  const std::string_view rest = text.substr(at);
  if (rest.size() >= 2 && rest[0] == '\xC2' && rest[1] == '\xA0') return 2;
  if (rest.size() < 3) return 0;
  const std::string_view three = rest.substr(0, 3);
  return three == "\xE2\x80\xAF" || three == "\xE2\x80\x87" || three == "\xE2\x80\x8B" || three == "\xEF\xBB\xBF" ? 3
                                                                                                                  : 0;
}

class Lexer {
 public:
  Lexer(std::string_view text, const std::string& source) : fText(text), fSource(source) {}

  std::vector<Command> Run() {
    std::vector<Command> commands;
    for (;;) {
      SkipSpace();
      if (AtEnd()) {
        Command command;
        command.source = fSource;
        if (UnclosedComment(command)) commands.push_back(std::move(command));
        break;
      }
      if (StartsComment()) {
        SkipToTerminator(fLine);
        continue;
      }
      Command command;
      command.source = fSource;
      // A lone "." is an empty command: nothing to run.
      if (!ReadCommand(command) && command.error.empty()) continue;
      commands.push_back(std::move(command));
    }
    return commands;
  }

  // The warnings for commands that comments took in (after Run).
  std::vector<std::string> TakeSwallowed() { return std::move(fSwallowed); }

 private:
  bool AtEnd() const { return fPos >= fText.size(); }
  unsigned char Peek(std::size_t ahead = 0) const {
    return fPos + ahead < fText.size() ? static_cast<unsigned char>(fText[fPos + ahead]) : 0;
  }

  void Advance() {
    unsigned char c = Peek();
    ++fPos;
    if (c == '\n') {
      ++fLine;
      fColumn = 1;
    } else if ((c & 0xC0) != 0x80) {
      // Columns count characters: UTF-8 continuation bytes do not move them.
      ++fColumn;
    }
  }
  // Continuation bytes following a character are part of it.
  void AdvanceChar() {
    Advance();
    while (!AtEnd() && (Peek() & 0xC0) == 0x80) ++fPos;
  }

  // Blanks, line breaks and /* ... */ comments. A comment never closed
  // runs to the end of the text; where it began is kept for the message.
  void SkipSpace() {
    while (!AtEnd()) {
      if (IsBlank(Peek()) || Peek() == '\n') {
        Advance();
      } else if (const std::size_t wide = WideBlank(fText, fPos); wide > 0) {
        for (std::size_t k = 0; k < wide; ++k) Advance();
      } else if (Peek() == '/' && Peek(1) == '*') {
        const int line = fLine;
        const int column = fColumn;
        Advance();
        Advance();
        while (!AtEnd() && !(Peek() == '*' && Peek(1) == '/')) Advance();
        if (AtEnd()) {
          fUnclosedLine = line;
          fUnclosedColumn = column;
          return;
        }
        Advance();
        Advance();
      } else {
        return;
      }
    }
  }

  // True when only blanks follow position `at` up to the end of its line; a
  // /* ... */ comment counts as blank (`CODEBOOK x. /* why */` ends there).
  bool RestOfLineBlank(std::size_t at) const {
    for (std::size_t p = at; p < fText.size(); ++p) {
      unsigned char c = static_cast<unsigned char>(fText[p]);
      if (c == '\n') return true;
      if (c == '/' && p + 1 < fText.size() && fText[p + 1] == '*') {
        const std::size_t close = fText.find("*/", p + 2);
        const std::size_t lineEnd = fText.find('\n', p + 2);
        if (close == std::string_view::npos || close > lineEnd) return true;  // runs past the line
        p = close + 1;
        continue;
      }
      if (const std::size_t wide = WideBlank(fText, p); wide > 0) {
        p += wide - 1;
        continue;
      }
      if (!IsBlank(c)) return false;
    }
    return true;
  }

  // A /* comment that is never closed swallowed the rest of the text: the
  // command it stands in (or an empty one) is an error at its start.
  bool UnclosedComment(Command& command) {
    if (fUnclosedLine == 0 || !command.error.empty()) return false;
    command.error = fSource + ", line " + std::to_string(fUnclosedLine) + ", column " +
                    std::to_string(fUnclosedColumn) + ": a comment begun with /* is not closed; close it with */.";
    if (command.name.text.empty()) {
      command.name.line = fUnclosedLine;
      command.name.column = fUnclosedColumn;
    }
    fUnclosedLine = 0;  // said once
    return true;
  }

  bool StartsComment() const {
    if (Peek() == '*') return true;
    std::size_t end = fPos;
    while (end < fText.size() && IsNameChar(static_cast<unsigned char>(fText[end])) && WideBlank(fText, end) == 0) {
      ++end;
    }
    std::string_view word = fText.substr(fPos, end - fPos);
    // "COMMENT." at the end of a line is still the comment command.
    if (!word.empty() && word.back() == '.' && RestOfLineBlank(end)) word.remove_suffix(1);
    return EqualsIgnoringCase(word, "COMMENT");
  }

  // Skips past the next "." that ends its line, or to the end of the text.
  // In a comment begun on `commentLine`, a later line that begins with
  // CODEBOOK is most likely a command the comment took in for want of its
  // period: it is named (once per comment), as it is not run.
  void SkipToTerminator(int commentLine = 0) {
    bool named = false;
    while (!AtEnd()) {
      if (Peek() == '.' && RestOfLineBlank(fPos + 1)) {
        Advance();
        return;
      }
      const bool lineEnd = Peek() == '\n';
      Advance();
      if (lineEnd && commentLine > 0 && !named && LineBeginsCommand()) {
        named = true;
        fSwallowed.push_back(fSource + ", line " + std::to_string(fLine) +
                             ": the line begins with CODEBOOK inside the comment begun on line " +
                             std::to_string(commentLine) +
                             ", which runs on to a period at the end of a line; if it is a command, it is not run: "
                             "end the comment with a period.");
      }
    }
  }

  // Whether the line from here begins, after blanks, with the word CODEBOOK.
  bool LineBeginsCommand() const {
    std::size_t p = fPos;
    while (p < fText.size() && IsBlank(static_cast<unsigned char>(fText[p]))) ++p;
    constexpr std::string_view kName = "CODEBOOK";
    if (p + kName.size() > fText.size() || !EqualsIgnoringCase(fText.substr(p, kName.size()), kName)) return false;
    p += kName.size();
    return p == fText.size() || !IsNameChar(static_cast<unsigned char>(fText[p])) ||
           (fText[p] == '.' && RestOfLineBlank(p + 1));
  }

  // False when the command holds no token.
  bool ReadCommand(Command& command) {
    const std::size_t start = fPos;
    const int startLine = fLine;
    const int startColumn = fColumn;
    std::vector<Token> tokens;
    for (;;) {
      SkipSpace();
      if (AtEnd()) {
        UnclosedComment(command);
        break;
      }
      unsigned char c = Peek();
      Token token;
      token.line = fLine;
      token.column = fColumn;
      if (c == '.' && RestOfLineBlank(fPos + 1)) {
        Advance();
        break;
      }
      if (IsNameStart(c)) {
        std::size_t start = fPos;
        while (!AtEnd() && IsNameChar(Peek()) && WideBlank(fText, fPos) == 0) AdvanceChar();
        std::string_view text = fText.substr(start, fPos - start);
        bool ends = false;
        if (text.back() == '.' && RestOfLineBlank(fPos)) {
          // A name's final "." at the end of a line ends the command.
          text.remove_suffix(1);
          ends = true;
        }
        token.kind = Token::Name;
        token.text = std::string(text);
        tokens.push_back(std::move(token));
        if (ends) break;
        continue;
      }
      // After "=" a sign belongs to the number that follows: MAXCATS=-1, MAXCATS=+3.
      bool signedNumber = (c == '-' || c == '+') && !tokens.empty() && tokens.back().kind == Token::Punct &&
                          tokens.back().text == "=" && (IsDigit(Peek(1)) || (Peek(1) == '.' && IsDigit(Peek(2))));
      if (IsDigit(c) || (c == '.' && IsDigit(Peek(1))) || signedNumber) {
        std::size_t start = fPos;
        if (signedNumber) Advance();
        while (IsDigit(Peek())) Advance();
        if (Peek() == '.' && IsDigit(Peek(1))) {
          Advance();
          while (IsDigit(Peek())) Advance();
        }
        if (Peek() == 'e' || Peek() == 'E') {
          std::size_t digits = (Peek(1) == '+' || Peek(1) == '-') ? 2 : 1;
          if (IsDigit(Peek(digits))) {
            for (std::size_t k = 0; k < digits; ++k) Advance();
            while (IsDigit(Peek())) Advance();
          }
        }
        token.kind = Token::Number;
        token.text = std::string(fText.substr(start, fPos - start));
        token.number = std::strtod(token.text.c_str(), nullptr);
        tokens.push_back(std::move(token));
        continue;
      }
      if (c == '\'' || c == '"') {
        const std::size_t quoteAt = fPos;
        if (!ReadString(token, command)) {
          // An unclosed string runs to the end of its line; a period ending
          // that line ends the command as it looks to end it, so that the
          // next command is not taken in and lost without a word.
          if (!PeriodEndsLine(quoteAt)) SkipToTerminator();
          break;
        }
        tokens.push_back(std::move(token));
        continue;
      }
      if (c == 0) {
        NulByte(command, token.line, token.column);
        SkipToTerminator();
        break;
      }
      token.kind = Token::Punct;
      std::size_t start = fPos;
      AdvanceChar();
      token.text = std::string(fText.substr(start, fPos - start));
      tokens.push_back(std::move(token));
    }
    if (command.error.empty()) NotUtf8(command, start, startLine, startColumn);
    if (tokens.empty()) return false;
    command.name = std::move(tokens.front());
    command.tokens.assign(std::make_move_iterator(tokens.begin() + 1), std::make_move_iterator(tokens.end()));
    return true;
  }

  // A NUL byte is no text (a binary file given as syntax, or a broken save);
  // it would also cut every message that quoted it.
  void NulByte(Command& command, int line, int column) {
    command.error = fSource + ", line " + std::to_string(line) + ", column " + std::to_string(column) +
                    ": a NUL byte (\\x00), which syntax text cannot hold; save the syntax file as plain text.";
    if (command.name.text.empty()) {
      command.name.line = line;
      command.name.column = column;
    }
  }

  // Text in another encoding (a file saved as Windows-1252 or Latin-1) would
  // reach names, messages and the report as bytes that are no text there.
  // Comments are passed over, so only commands are checked.
  void NotUtf8(Command& command, std::size_t start, int line, int column) {
    std::size_t bad = 0;
    if (ValidUtf8(fText.substr(start, fPos - start), bad)) return;
    for (std::size_t p = start; p < start + bad; ++p) {
      const auto c = static_cast<unsigned char>(fText[p]);
      if (c == '\n') {
        ++line;
        column = 1;
      } else if ((c & 0xC0) != 0x80) {
        ++column;
      }
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto c = static_cast<unsigned char>(fText[start + bad]);
    command.error = fSource + ", line " + std::to_string(line) + ", column " + std::to_string(column) +
                    ": the byte \\x" + kHex[c >> 4] + kHex[c & 15] +
                    " is not UTF-8 text; save the syntax file as UTF-8 (it was probably saved as Windows-1252 or "
                    "Latin-1).";
    if (command.name.text.empty()) {
      command.name.line = line;
      command.name.column = column;
    }
  }

  // Whether the line that ends here (at its line feed or the end of the text)
  // ends, after blanks, with a period that comes after `from`.
  bool PeriodEndsLine(std::size_t from) const {
    if (!AtEnd() && Peek() != '\n') return false;
    std::size_t p = fPos;
    while (p > from && IsBlank(static_cast<unsigned char>(fText[p - 1]))) --p;
    return p > from + 1 && fText[p - 1] == '.';
  }

  // A quoted string; a doubled quote stands for one. Strings end on the line
  // where they start.
  bool ReadString(Token& token, Command& command) {
    unsigned char quote = Peek();
    int line = fLine;
    int column = fColumn;
    Advance();
    std::string text;
    for (;;) {
      if (AtEnd() || Peek() == '\n') {
        command.error = fSource + ", line " + std::to_string(line) + ", column " + std::to_string(column) +
                        ": unterminated quoted string; close it with " + static_cast<char>(quote) +
                        " on the same line.";
        if (command.name.text.empty()) {
          command.name.line = line;
          command.name.column = column;
        }
        return false;
      }
      unsigned char c = Peek();
      if (c == 0) {
        NulByte(command, fLine, fColumn);
        return false;
      }
      if (c == quote) {
        if (Peek(1) == quote) {
          text.push_back(static_cast<char>(quote));
          Advance();
          Advance();
          continue;
        }
        Advance();
        break;
      }
      text.push_back(static_cast<char>(c));
      Advance();
    }
    token.kind = Token::String;
    token.text = std::move(text);
    return true;
  }

  std::string_view fText;
  const std::string& fSource;
  std::size_t fPos = 0;
  int fLine = 1;
  int fColumn = 1;
  int fUnclosedLine = 0;  // where a /* comment that is never closed begins
  int fUnclosedColumn = 0;
  std::vector<std::string> fSwallowed;  // commands taken into comments (SkipToTerminator)
};

struct CurrentState {
  Command command;
  std::shared_ptr<const std::vector<Token>> tokens = std::make_shared<const std::vector<Token>>();
};

CurrentState& Current() {
  static CurrentState state;
  return state;
}

// Runs the lexer over the text; a lone CR ends a line too (files saved with
// old Mac line ends); in CR LF the CR is a blank before the line feed.
std::vector<Command> Lex(std::string_view text, const std::string& sourceName, std::vector<std::string>* swallowed) {
  std::string lines;
  if (text.find('\r') != std::string_view::npos) {
    lines.assign(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == '\r' && (i + 1 == lines.size() || lines[i + 1] != '\n')) lines[i] = '\n';
    }
    text = lines;
  }
  Lexer lexer(text, sourceName);
  std::vector<Command> commands = lexer.Run();
  if (swallowed != nullptr) *swallowed = lexer.TakeSwallowed();
  return commands;
}
}  // namespace

std::vector<Command> SplitCommands(std::string_view text, const std::string& sourceName) {
  return Lex(text, sourceName, nullptr);
}

std::vector<std::string> CommandsInComments(std::string_view text, const std::string& sourceName) {
  std::vector<std::string> swallowed;
  Lex(text, sourceName, &swallowed);
  return swallowed;
}

void SetCurrentCommand(const Command& command) {
  CurrentState& state = Current();
  state.command = command;
  // Token sequences made earlier keep the tokens they were made with.
  state.tokens = std::make_shared<const std::vector<Token>>(command.tokens);
}

const Command& CurrentCommand() { return Current().command; }

namespace syntax {
std::shared_ptr<const std::vector<Token>> CurrentTokens() { return Current().tokens; }
}  // namespace syntax

}  // namespace host

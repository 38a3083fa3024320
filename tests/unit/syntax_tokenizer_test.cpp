// Splitting syntax text into commands and tokens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/command.h"

namespace {

// N name, # number, S string, P punctuation; "!" marks a command's error.
std::string Render(const host::Command& command, bool positions) {
  auto one = [positions](const host::Token& t) {
    static const char* kinds = "N#SP";
    std::string s = std::string(1, kinds[t.kind]) + ":" + t.text;
    if (positions) s += "@" + std::to_string(t.line) + ":" + std::to_string(t.column);
    return s;
  };
  std::string out = one(command.name) + " |";
  for (const host::Token& t : command.tokens) out += " " + one(t);
  if (!command.error.empty()) out += " ! " + command.error;
  return out;
}

std::vector<std::string> Split(const std::string& text, bool positions = false) {
  std::vector<std::string> out;
  for (const host::Command& c : host::SplitCommands(text, "syntax.cbk")) out.push_back(Render(c, positions));
  return out;
}

struct Case {
  const char* what;
  const char* text;
  std::vector<std::string> commands;
};

TEST(SyntaxTokenizer, Table) {
  const std::vector<Case> cases = {
      {"plain command", "CODEBOOK x y.", {"N:CODEBOOK | N:x N:y"}},
      {"end of text ends the command", "CODEBOOK x", {"N:CODEBOOK | N:x"}},
      {"blank lines and several commands",
       "\n\nCODEBOOK x.\n\n\ncodebook y.\n\n",
       {"N:CODEBOOK | N:x", "N:codebook | N:y"}},
      {"a command spans lines until the final period",
       "CODEBOOK x\n  /VARINFO LABEL\n  /STATISTICS NONE.\n",
       {"N:CODEBOOK | N:x P:/ N:VARINFO N:LABEL P:/ N:STATISTICS N:NONE"}},
      {"periods inside names", "CODEBOOK a.b c.d.\n", {"N:CODEBOOK | N:a.b N:c.d"}},
      {"a name's period before more text on the line stays in the name", "CODEBOOK x. y.", {"N:CODEBOOK | N:x. N:y"}},
      {"only the last period is the terminator", "CODEBOOK x..\n", {"N:CODEBOOK | N:x."}},
      {"separate terminator and trailing blanks",
       "CODEBOOK x .  \t\nCODEBOOK y",
       {"N:CODEBOOK | N:x", "N:CODEBOOK | N:y"}},
      {"CRLF line ends", "CODEBOOK x.\r\nCODEBOOK y.\r\n", {"N:CODEBOOK | N:x", "N:CODEBOOK | N:y"}},
      {"a lone period is an empty command", ".\nCODEBOOK.", {"N:CODEBOOK |"}},
      {"name characters", "CODEBOOK @a #b $s x_1 y$#@ $ALL", {"N:CODEBOOK | N:@a N:#b N:$s N:x_1 N:y$#@ N:$ALL"}},
      {"UTF-8 names", "CODEBOOK größe ñame.", {"N:CODEBOOK | N:größe N:ñame"}},
      {"no-break and zero-width spaces and a byte order mark are blanks, not letters",
       "CODEBOOK\xC2\xA0x\xE2\x80\xAFy.\xC2\xA0\n\xEF\xBB\xBF"
       "CODEBOOK z\xE2\x80\x8B.\nX 'a\xC2\xA0"
       "b'",
       {"N:CODEBOOK | N:x N:y", "N:CODEBOOK | N:z",
        "N:X | S:a\xC2\xA0"
        "b"}},
      {"punctuation",
       "CODEBOOK a [N] b(c),d;e=f",
       {"N:CODEBOOK | N:a P:[ N:N P:] N:b P:( N:c P:) P:, N:d P:; N:e P:= N:f"}},
      {"numbers", "X 1 2.5 .5 1e3 2.5E-2 7e+1", {"N:X | #:1 #:2.5 #:.5 #:1e3 #:2.5E-2 #:7e+1"}},
      {"an incomplete exponent is not part of the number", "X 1e x", {"N:X | #:1 N:e N:x"}},
      {"a number's period at the end of a line ends the command",
       "X MAXCATS=5.\nY",
       {"N:X | N:MAXCATS P:= #:5", "N:Y |"}},
      {"a sign after = is part of the number",
       "X MAXCATS=-1 A= -2 B=-.5 C=+3 D= +.5",
       {"N:X | N:MAXCATS P:= #:-1 N:A P:= #:-2 N:B P:= #:-.5 N:C P:= #:+3 N:D P:= #:+.5"}},
      {"a sign elsewhere is punctuation", "X a -1 +2 =+ 3", {"N:X | N:a P:- #:1 P:+ #:2 P:= P:+ #:3"}},
      {"quoted strings with doubled quotes",
       "X 'it''s' \"say \"\"hi\"\"\" 'a\"b'",
       {"N:X | S:it's S:say \"hi\" S:a\"b"}},
      {"a period inside a string at the end of a line", "X 'end.'\n.", {"N:X | S:end."}},
      {"star comment up to its terminator",
       "* a comment with 'a quote\n  still comment.\nCODEBOOK x.",
       {"N:CODEBOOK | N:x"}},
      {"COMMENT command", "comment this. is text.\nCODEBOOK x.", {"N:CODEBOOK | N:x"}},
      {"COMMENT with a final period", "COMMENT.\nCODEBOOK x.", {"N:CODEBOOK | N:x"}},
      {"a name beginning with COMMENT is not a comment", "COMMENTS x.", {"N:COMMENTS | N:x"}},
      {"/* */ comments are blanks, over lines too",
       "/* head\n.\n*/ CODEBOOK x /* which.\n */ y/*z*/ /STATISTICS NONE.\nCODEBOOK 'a /* b'.",
       {"N:CODEBOOK | N:x N:y P:/ N:STATISTICS N:NONE", "N:CODEBOOK | S:a /* b"}},
      {"a period before a comment on its line ends the command",
       "CODEBOOK x. /* one */ /* two\n */\nCODEBOOK y. /* runs on\n */",
       {"N:CODEBOOK | N:x", "N:CODEBOOK | N:y"}},
      {"a comment never closed is an error where it begins",
       "CODEBOOK x.\nCODEBOOK y /* oops.\nCODEBOOK z.",
       {"N:CODEBOOK | N:x",
        "N:CODEBOOK | N:y ! syntax.cbk, line 2, column 12: a comment begun with /* is not closed; close it with */."}},
      {"also between commands",
       "CODEBOOK x.\n  /*",
       {"N:CODEBOOK | N:x",
        "N: | ! syntax.cbk, line 2, column 3: a comment "
        "begun with /* is not closed; close it with */."}},
      {"unterminated string",
       "CODEBOOK x\n  'abc\n  more.\nCODEBOOK y.",
       {"N:CODEBOOK | N:x ! syntax.cbk, line 2, column 3: unterminated quoted string; close it with ' on the same "
        "line.",
        "N:CODEBOOK | N:y"}},
      {"a period ending the line of an unterminated string ends its command",
       "CODEBOOK x 'abc. \nCODEBOOK y.\nX '.\nX \".",
       {"N:CODEBOOK | N:x ! syntax.cbk, line 1, column 12: unterminated quoted string; close it with ' on the same "
        "line.",
        "N:CODEBOOK | N:y",
        "N:X | ! syntax.cbk, line 3, column 3: unterminated quoted string; close it with ' on the "
        "same line.",
        "N:X | ! syntax.cbk, line 4, column 3: unterminated quoted string; close it with \" on the "
        "same line."}},
      {"unterminated string at the end of the text",
       "X \"abc",
       {"N:X | ! syntax.cbk, line 1, column 3: unterminated quoted string; close it with \" on the same line."}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Split(c.text), c.commands) << c.what;
  }
}

// A NUL byte would cut every message that quotes it: the command holding it
// is an error at its place, and the next one runs.
TEST(SyntaxTokenizer, NulByteIsAnErrorAtItsPlace) {
  using namespace std::string_literals;
  const auto nul = [](int column) {
    return "syntax.cbk, line 1, column " + std::to_string(column) +
           ": a NUL byte (\\x00), which syntax text cannot hold; save the syntax file as plain text.";
  };
  EXPECT_EQ(Split("CODEBOOK a\0b.\nCODEBOOK c."s),
            (std::vector<std::string>{"N:CODEBOOK | N:a ! " + nul(11), "N:CODEBOOK | N:c"}));
  EXPECT_EQ(Split("CODEBOOK 'a\0b'.\nCODEBOOK c."s),
            (std::vector<std::string>{"N:CODEBOOK | ! " + nul(12), "N:CODEBOOK | N:c"}));
}

// A file saved as Windows-1252: the command with the stray byte is an error
// at that byte (lines and characters before it counted), comments are passed
// over, and the next command runs.
TEST(SyntaxTokenizer, BytesThatAreNotUtf8AreAnErrorAtTheirPlace) {
  const auto error = [](int line, int column) {
    return "syntax.cbk, line " + std::to_string(line) + ", column " + std::to_string(column) +
           ": the byte \\xE9 is not UTF-8 text; save the syntax file as UTF-8 (it was probably saved as "
           "Windows-1252 or Latin-1).";
  };
  EXPECT_EQ(Split("* caf\xE9.\nCODEBOOK \xC3\xA9 x\n  /VARINFO \xE9t\xE9.\nCODEBOOK c."),
            (std::vector<std::string>{"N:CODEBOOK | N:\xC3\xA9 N:x P:/ N:VARINFO N:\xE9t\xE9 ! " + error(3, 12),
                                      "N:CODEBOOK | N:c"}));
  EXPECT_EQ(Split("X.\nCODEBOOK \xE9"), (std::vector<std::string>{"N:X |", "N:CODEBOOK | N:\xE9 ! " + error(2, 10)}));
}

TEST(SyntaxTokenizer, PositionsCountLinesAndCharacters) {
  EXPECT_EQ(Split("CODEBOOK x\n  /VARINFO\tLABEL.", true),
            (std::vector<std::string>{"N:CODEBOOK@1:1 | N:x@1:10 P:/@2:3 N:VARINFO@2:4 N:LABEL@2:12"}));
  // Columns count characters, not bytes.
  EXPECT_EQ(Split("X größe y", true), (std::vector<std::string>{"N:X@1:1 | N:größe@1:3 N:y@1:9"}));
  EXPECT_EQ(Split("* note.\nX 'a''b' c", true), (std::vector<std::string>{"N:X@2:1 | S:a'b@2:3 N:c@2:10"}));
  // Lines may end with CR LF, or with a lone CR (old Mac files): a period there ends the command.
  EXPECT_EQ(Split("X a.\r\nY b.\rZ c.\r", true),
            (std::vector<std::string>{"N:X@1:1 | N:a@1:3", "N:Y@2:1 | N:b@2:3", "N:Z@3:1 | N:c@3:3"}));
}

TEST(SyntaxTokenizer, NumberValuesAndSource) {
  std::vector<host::Command> commands = host::SplitCommands("X MAXCATS=-12 2.5e1", "<command line>");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].source, "<command line>");
  ASSERT_EQ(commands[0].tokens.size(), 4u);
  EXPECT_EQ(commands[0].tokens[2].number, -12.0);
  EXPECT_EQ(commands[0].tokens[3].number, 25.0);
}

TEST(SyntaxTokenizer, CurrentCommand) {
  std::vector<host::Command> commands = host::SplitCommands("CODEBOOK a b.\nCODEBOOK c.", "s");
  host::SetCurrentCommand(commands[0]);
  EXPECT_EQ(host::CurrentCommand().tokens.size(), 2u);
  host::SetCurrentCommand(commands[1]);
  EXPECT_EQ(host::CurrentCommand().tokens.at(0).text, "c");
}

}  // namespace

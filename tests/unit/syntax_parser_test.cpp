// The universal parser: descriptor + command text -> parsed specification or
// the host's error; and the message sink's wording.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/command.h"
#include "host/document.h"
#include "host/output/model.h"
#include "host/parser.h"

namespace {

using namespace UPSpecTypes;

// A descriptor shaped like the one CODEBOOK builds, plus a bare /EXTRA.
void Build(CommandDescriptor& command) {
  SubComDescriptor list("", SubComPlain, false, false);
  list.allowSubComEmpty(true);
  list.setExportParamDesc(ParamTokenList, false);
  command.addSubComDesc(list);

  SubComDescriptor stats("STATISTICS", SubComPlain, false, false);
  stats.allowSubComEmpty(true);
  for (const char* k : {"NONE", "COUNT", "MEAN"}) stats.addParamDesc(k, ParamKeyword, false, true, NoBrackets);
  command.addSubComDesc(stats);

  SubComDescriptor options("OPTIONS", SubComPlain, false, false);
  options.allowSubComEmpty(true);
  options.setExportParamDesc(ParamTokenList, false);
  options.addParamDesc("MAXCATS", ParamInteger, false, true, NoBrackets);
  {
    ParamDescriptor order("VARORDER", ParamQualified, false, true, NoBrackets);
    order.addQualifDesc("FILE");
    order.addQualifDesc("ALPHA");
    ParamDescriptor attribute("ATTRIBUTE", ParamString, false, true, NoBrackets);
    order.addQualifDesc(attribute);
    options.addParamDesc(order);
  }  // the descriptors added above are gone; the command keeps copies
  ParamDescriptor sort("SORT", ParamString, false, true, NoBrackets);
  sort.addStringValue("ASCENDING");
  sort.addStringValue("DESCENDING");
  options.addParamDesc(sort);
  command.addSubComDesc(options);

  SubComDescriptor extra("EXTRA", SubComPlain, false, false);  // empty not allowed, no keywords
  command.addSubComDesc(extra);
}

std::string Messages() {
  std::string out;
  for (const host::Item& item : host::Output().Items()) {
    if (item.IsTable()) continue;
    out += (item.message.severity == host::Severity::Error ? "E: " : "W: ") + item.message.text + "\n";
  }
  return out;
}

// The parsed specification in a compact form, or the messages issued.
std::string Parse(const std::string& text) {
  host::ResetOutput();
  std::vector<host::Command> commands = host::SplitCommands(text, "test");
  if (commands.size() != 1) return "bad test input";
  host::SetCurrentCommand(commands[0]);
  CommandSpec spec;
  int result = 0;
  {
    CommandDescriptor descriptor("CODEBOOK");
    Build(descriptor);
    QUVO_TokenSequence tokens(true);
    UniversalParser parser(tokens, spec, descriptor);
    result = parser.getCommandSpecifications();
  }
  if (result != 0) return Messages();
  std::string out;
  for (const char* name : {"", "statistics", "Options", "EXTRA"}) {
    SubComObj* sub = spec.getSubComObj(name);
    if (sub == nullptr) continue;
    out += std::string("/") + name + "[";
    std::vector<TokenInfoObj> tokens;
    if (sub->exportParamObj()->getTokenList(tokens)) {
      for (const TokenInfoObj& t : tokens) out += std::string(" ") + t.getString();
    } else {
      out += " -";
    }
    out += " ]";
    for (const char* key : {"NONE", "COUNT", "MEAN", "MAXCATS", "VARORDER", "SORT"}) {
      ParamObj* p = sub->getParamObj(key);
      if (p == nullptr) continue;
      out += std::string(" ") + key;
      int n = 0;
      if (p->getIntegerValue(n)) out += "=" + std::to_string(n);
      ParamObj value;
      p->getStringAndQual(value, nullptr, nullptr);
      std::string s;
      if (!value.getParamName().empty()) out += "=" + value.getParamName();
      if (value.getStringGeneric(s)) out += "(" + s + ")";
    }
    out += ";";
  }
  return out + Messages();
}

struct Case {
  const char* text;
  const char* expected;
};

TEST(SyntaxUniversalParser, AcceptedCommands) {
  const std::vector<Case> cases = {
      {"CODEBOOK.", ""},
      {"CODEBOOK a TO c [N] $s.", "/[ a TO c [ N ] $s ];"},
      {"CODEBOOK /statistics count Mean.", "/statistics[ - ] COUNT MEAN;"},
      {"CODEBOOK x /STATISTICS.", "/[ x ];/statistics[ - ];"},
      {"CODEBOOK /OPTIONS MAXCATS=5 varorder=alpha sort=descending.",
       "/Options[ MAXCATS = 5 varorder = alpha sort = descending ] MAXCATS=5 VARORDER=ALPHA SORT=DESCENDING(descending);"},
      {"CODEBOOK /OPTIONS MAXCATS=-1.", "/Options[ MAXCATS = -1 ] MAXCATS=-1;"},
      // Any single value is accepted; only integers read as integers.
      {"CODEBOOK /OPTIONS MAXCATS=2.5.", "/Options[ MAXCATS = 2.5 ] MAXCATS;"},
      {"CODEBOOK /OPTIONS MAXCATS=abc.", "/Options[ MAXCATS = abc ] MAXCATS;"},
      {"CODEBOOK /OPTIONS MAXCATS=99999999999.", "/Options[ MAXCATS = 99999999999 ] MAXCATS;"},
      {"CODEBOOK /OPTIONS VARORDER=Attribute(Wave).", "/Options[ VARORDER = Attribute ( Wave ) ] VARORDER=ATTRIBUTE(Wave);"},
      {"CODEBOOK /OPTIONS VARORDER=ATTRIBUTE('my attr').",
       "/Options[ VARORDER = ATTRIBUTE ( my attr ) ] VARORDER=ATTRIBUTE(my attr);"},
      {"CODEBOOK /OPTIONS SORT='Ascending'.", "/Options[ SORT = Ascending ] SORT=ASCENDING(Ascending);"},
      {"CODEBOOK /OPTIONS VARORDER='file'.", "/Options[ VARORDER = file ] VARORDER=FILE;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), c.expected) << c.text;
  }
}

TEST(SyntaxUniversalParser, RejectedCommands) {
  const std::vector<Case> cases = {
      {"CODEBOOK x /FOO",
       "E: Unknown subcommand /FOO on the CODEBOOK command; the valid subcommands are /STATISTICS, /OPTIONS and /EXTRA "
       "(line 1, column 13).\n"},
      {"CODEBOOK x /",
       "E: A subcommand name must follow \"/\" on the CODEBOOK command; the valid subcommands are /STATISTICS, /OPTIONS "
       "and /EXTRA (line 1, column 12).\n"},
      {"CODEBOOK x / = y",
       "E: A subcommand name must follow \"/\" on the CODEBOOK command; the valid subcommands are /STATISTICS, /OPTIONS "
       "and /EXTRA (line 1, column 14).\n"},
      {"CODEBOOK /STATISTICS MEDIAN",
       "E: Unknown keyword MEDIAN on the /STATISTICS subcommand; the valid keywords are NONE, COUNT and MEAN (line 1, "
       "column 22).\n"},
      // No abbreviations.
      {"CODEBOOK /STATISTICS COUN",
       "E: Unknown keyword COUN on the /STATISTICS subcommand; the valid keywords are NONE, COUNT and MEAN (line 1, "
       "column 22).\n"},
      {"CODEBOOK /STATISTICS MEAN=3",
       "E: The keyword MEAN on the /STATISTICS subcommand takes no value, but \"=\" follows it (line 1, column 26).\n"},
      {"CODEBOOK /STATISTICS COUNT COUNT",
       "E: The keyword COUNT is given more than once on the /STATISTICS subcommand (line 1, column 28).\n"},
      {"CODEBOOK /STATISTICS 5",
       "E: Unexpected 5 on the /STATISTICS subcommand where a keyword was expected; the valid keywords are NONE, COUNT "
       "and MEAN (line 1, column 22).\n"},
      {"CODEBOOK /STATISTICS COUNT /statistics MEAN",
       "E: The subcommand /STATISTICS is given more than once (line 1, column 29).\n"},
      {"CODEBOOK /OPTIONS MAXCATS",
       "E: The keyword MAXCATS on the /OPTIONS subcommand needs a value, as in MAXCATS=n (line 1, column 19).\n"},
      {"CODEBOOK /OPTIONS MAXCATS 5",
       "E: The keyword MAXCATS on the /OPTIONS subcommand needs a value, as in MAXCATS=n (line 1, column 19).\n"},
      {"CODEBOOK /OPTIONS MAXCATS=",
       "E: The keyword MAXCATS on the /OPTIONS subcommand needs a value after \"=\", as in MAXCATS=n (line 1, column "
       "26).\n"},
      {"CODEBOOK /OPTIONS MAXCATS=5 6",
       "E: Unexpected 6 on the /OPTIONS subcommand where a keyword was expected; the valid keywords are MAXCATS, "
       "VARORDER and SORT (line 1, column 29).\n"},
      {"CODEBOOK /OPTIONS SORT=UP",
       "E: SORT=UP is not valid on the /OPTIONS subcommand; use SORT=ASCENDING or DESCENDING (line 1, column 24).\n"},
      {"CODEBOOK /OPTIONS VARORDER=RANDOM",
       "E: VARORDER=RANDOM is not valid on the /OPTIONS subcommand; use VARORDER=FILE, ALPHA or ATTRIBUTE(name) (line "
       "1, column 28).\n"},
      {"CODEBOOK /OPTIONS VARORDER=ATTRIBUTE",
       "E: VARORDER=ATTRIBUTE needs a name in parentheses, as in VARORDER=ATTRIBUTE(name) (line 1, column 28).\n"},
      {"CODEBOOK /OPTIONS VARORDER=ATTRIBUTE(a b)",
       "E: \")\" is missing after VARORDER=ATTRIBUTE(a (line 1, column 40).\n"},
      {"CODEBOOK /OPTIONS VARORDER=FILE(x)",
       "E: VARORDER=FILE takes no value in parentheses (line 1, column 32).\n"},
      {"CODEBOOK /EXTRA", "E: The /EXTRA subcommand cannot be empty (line 1, column 11).\n"},
      {"CODEBOOK /EXTRA y", "E: Unexpected y on the /EXTRA subcommand, which takes no keywords (line 1, column 17).\n"},
      {"CODEBOOK\n  /STATISTICS\n  NONE = 1",
       "E: The keyword NONE on the /STATISTICS subcommand takes no value, but \"=\" follows it (line 3, column 8).\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), c.expected) << c.text;
  }
}

TEST(SyntaxUniversalParser, UnnamedSubcommandNeedsADescriptor) {
  host::ResetOutput();
  host::SetCurrentCommand(host::SplitCommands("OTHER x /A", "t")[0]);
  CommandSpec spec;
  CommandDescriptor descriptor("OTHER");
  SubComDescriptor a("A", SubComPlain, false, true);
  a.allowSubComEmpty(true);
  descriptor.addSubComDesc(a);
  QUVO_TokenSequence tokens(true);
  UniversalParser parser(tokens, spec, descriptor);
  EXPECT_NE(parser.getCommandSpecifications(), 0);
  EXPECT_EQ(Messages(), "E: Unexpected x after the command name OTHER: subcommands begin with \"/\" (line 1, column 7).\n");
  EXPECT_EQ(spec.getSubComObj("A"), nullptr);
}

TEST(SyntaxUniversalParser, TokenObjects) {
  host::ResetOutput();
  host::SetCurrentCommand(host::SplitCommands("CODEBOOK Größe 'lower case' TO", "t")[0]);
  CommandSpec spec;
  CommandDescriptor descriptor("CODEBOOK");
  Build(descriptor);
  QUVO_TokenSequence tokens(true);
  UniversalParser parser(tokens, spec, descriptor);
  ASSERT_EQ(parser.getCommandSpecifications(), 0);
  SubComObj* list = spec.getSubComObj("");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->getTokenListSize(), 3);
  EXPECT_STREQ(list->getTokenObj(0)->getUpperString(), "GRößE");  // ASCII letters only
  EXPECT_STREQ(list->getTokenObj(1)->getString(), "lower case");
  EXPECT_STREQ(list->getTokenObj(1)->getUpperString(), "LOWER CASE");
  EXPECT_EQ(list->getTokenObj(3), nullptr);
  EXPECT_EQ(list->getTokenObj(-1), nullptr);
  EXPECT_EQ(list->getParamObj("TO"), nullptr);
}

TEST(SyntaxMessages, PlaceholdersAndHostTexts) {
  host::ResetOutput();
  ParserMessage messages;
  messages.GenericError("^1 Invalid or non-existent variable name.", "xyz");
  messages.GenericWarning("^2 and ^1, ^3 missing; ^9 stays", "a", "b");
  messages.GenericError("No placeholders.", "ignored");
  messages.KeywordImproperVarList("TO", nullptr, nullptr);
  messages.ParamExclAnyOther("NONE", "STATISTICS");
  EXPECT_EQ(Messages(),
            "E: xyz Invalid or non-existent variable name.\n"
            "W: b and a,  missing; ^9 stays\n"
            "E: No placeholders.\n"
            "E: The keyword TO is used improperly in a variable list: a range needs two different variable names, as "
            "in a TO c.\n"
            "E: The keyword NONE on the STATISTICS subcommand cannot be combined with any other keyword.\n");
  EXPECT_EQ(host::ErrorCount(), 4);
}

}  // namespace

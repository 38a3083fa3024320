// The universal parser: descriptor + command text -> parsed specification or
// the host's error; and the message sink's wording.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/command.h"
#include "host/document.h"
#include "host/output/model.h"
#include "host/parser.h"
#include "support/case_file.h"

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

TEST(SyntaxUniversalParser, CaseFile) {
  for (const testsupport::TextCase& c : testsupport::ReadCases("universal_parser.cbk")) {
    SCOPED_TRACE(c.where);
    const std::string command = c.Has("command") ? c.Block("command") : c.title;
    std::string actual = Parse(command);
    if (!actual.empty() && actual.back() != '\n') actual += "\n";
    EXPECT_EQ(actual, c.Has("expected") ? c.Block("expected") : c.Text());
  }
}

TEST(SyntaxUniversalParser, UnnamedSubcommandNeedsADescriptor) {
  host::SetCurrentCommand(host::SplitCommands("OTHER x /A", "t")[0]);
  CommandSpec spec;
  CommandDescriptor descriptor("OTHER");
  SubComDescriptor a("A", SubComPlain, false, true);
  a.allowSubComEmpty(true);
  descriptor.addSubComDesc(a);
  QUVO_TokenSequence tokens(true);
  UniversalParser parser(tokens, spec, descriptor);
  EXPECT_NE(parser.getCommandSpecifications(), 0);
  EXPECT_EQ(Messages(),
            "E: Unexpected x after the command name OTHER: subcommands begin with \"/\" (line 1, column 7).\n");
  EXPECT_EQ(spec.getSubComObj("A"), nullptr);
}

TEST(SyntaxUniversalParser, TokenObjects) {
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

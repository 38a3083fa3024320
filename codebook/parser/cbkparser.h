// The CODEBOOK command parser: builds the command descriptor, lets the host
// parser check the tokens, and reads the list and the four named subcommands
// into one CodebookSettings record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/parser.h"
#include "host/quvo.h"
#include "parser/settings.h"

namespace codebook {

class CodebookParser {
 public:
  CodebookParser(ProcedureDataSource& source, ParserMessage& messages);
  ~CodebookParser();
  CodebookParser(const CodebookParser&) = delete;
  CodebookParser& operator=(const CodebookParser&) = delete;

  // True when the command was accepted and the settings are complete.
  bool parse();
  // The settings; the parser keeps ownership.
  CodebookSettings* GetSettings();

 private:
  // A level qualifier "[" level "]" after a token.
  struct Qualifier {
    bool present = false;
    bool broken = false;  // "[" not closed by "]" two tokens later
    std::string level;    // upper case
    std::string text;     // as written
  };

  bool ParseList(SubComObj& list);
  void MakeDefaultList();
  bool ReadVarInfo(CommandSpec& spec);
  bool ReadFileInfo(CommandSpec& spec);
  bool ReadStatistics(CommandSpec& spec);
  bool ReadOptions(CommandSpec& spec);

  // The list's token forms; each returns false after reporting an error and
  // sets `next` to the position after what it consumed.
  bool AllVariables(SubComObj& list, int i, int& next);
  bool AllSets(int i, int& next);
  bool Range(SubComObj& list, int i, int skip, int& next);
  bool OneSet(SubComObj& list, int i, int& next);
  bool OneVariable(SubComObj& list, int i, int& next);

  bool HaveTokenList(SubComObj& list);
  Qualifier ReadQualifier(SubComObj& list, int position) const;
  bool LookUp(const std::string& name, std::int32_t& index);
  bool IsListedVariable(std::int32_t index) const;
  void AppendVariable(const std::string& name, std::int32_t index);
  std::int32_t DefaultTreatment(std::int32_t index) const;
  // Gives the variable its default treatment, then the qualifier's.
  bool ApplyVariableQualifier(std::int32_t index, const Qualifier& qualifier);
  bool ApplySetQualifier(const std::string& name, const Qualifier& qualifier);
  void ReportSyntaxError();
  bool AttributeListed(const std::string& name) const;

  ProcedureDataSource& fDataSource;
  std::unique_ptr<CodebookSettings> fSettings;
  ParserMessage& fMessages;
  std::vector<QuvoVarName> fListedSetNames;
  std::int32_t fNextSetIndex = 0;

  // Working state of the list being read.
  std::vector<CodebookItem> fWorkItems;
  std::vector<std::int32_t> fWorkTreatment;
  std::vector<bool> fListed;  // by variable index: already in the list
};

// Name equality: the same byte length and equal ignoring case.
bool NamesEqual(const std::string& a, const std::string& b);

}  // namespace codebook

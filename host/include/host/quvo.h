// Host dictionary and case source: the active dataset as the procedure sees it.
//
// The dictionary classes are plain records filled by the dataset readers
// (host/data); the procedure only calls the getters. Names follow the host's
// conventions (upper camel case operations).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/api.h"
#include "host/case_block.h"
#include "host/obs.h"

namespace host {
class Dataset;
class Pass;
}  // namespace host

// A display format packed in four bytes: width, type code, decimals.
struct QUVO_Format {
  std::uint16_t width = 0;
  std::uint8_t type = 0;
  std::uint8_t decimals = 0;
};
static_assert(sizeof(QUVO_Format) == 4, "a format is four bytes");

// Format type codes used by the host.
namespace FormatType {
enum : std::uint8_t {
  A = 1,
  AHEX = 2,
  COMMA = 3,
  DOLLAR = 4,
  F = 5,
  IB = 6,
  PIBHEX = 7,
  P = 8,
  PIB = 9,
  PK = 10,
  RB = 11,
  RBHEX = 12,
  Z = 15,
  N = 16,
  E = 17,
  DATE = 20,
  TIME = 21,
  DATETIME = 22,
  ADATE = 23,
  JDATE = 24,
  DTIME = 25,
  WKDAY = 26,
  MONTH = 27,
  MOYR = 28,
  QYR = 29,
  WKYR = 30,
  PCT = 31,
  DOT = 32,
  CCA = 33,
  CCB = 34,
  CCC = 35,
  CCD = 36,
  CCE = 37,
  EDATE = 38,
  SDATE = 39,
  G = 40,
  MTIME = 85,
  YMDHMS = 86
};
}

// Attributes of a variable or of the data file, in their defined order; each
// has one value per array element.
class HOST_API DatasourceAttributes {
 public:
  int Size() const { return static_cast<int>(fItems.size()); }
  const std::string& Name(int i) const { return fItems[static_cast<std::size_t>(i)].first; }
  const std::vector<std::string>& Values(int i) const { return fItems[static_cast<std::size_t>(i)].second; }

  void Add(std::string name, std::vector<std::string> values) {
    fItems.emplace_back(std::move(name), std::move(values));
  }

 private:
  std::vector<std::pair<std::string, std::vector<std::string>>> fItems;
};

// One value label: the value (a number, or a pooled string OBS for string
// variables) and its label text.
struct ValueLabel {
  OBS value;
  std::string label;
};

// A cursor over one variable's value labels, in their defined order.
class HOST_API QUVO_ValueLabelMap {
 public:
  QUVO_ValueLabelMap() = default;
  QUVO_ValueLabelMap(const std::vector<ValueLabel>* labels, bool isString) : fLabels(labels), fIsString(isString) {}

  int Size() const { return fLabels ? static_cast<int>(fLabels->size()) : 0; }
  void Reset() { fNext = 0; }
  // Nonzero while a pair came; the label pointer stays valid while the
  // dictionary lives.
  int GetNextPair(OBS& value, const char*& label);
  // The label of a value, or null when the value has none.
  const char* GetLabel(const OBS& value) const;

 private:
  const std::vector<ValueLabel>* fLabels = nullptr;
  bool fIsString = false;
  std::size_t fNext = 0;
};

// User-missing values of a variable: up to three discrete values, or a range
// plus at most one discrete value. Strings have discrete values only.
struct MissingValues {
  std::vector<double> numbers;
  std::vector<std::string> strings;  // trailing blanks trimmed
  bool hasRange = false;
  double low = 0.0;   // -inf for LO
  double high = 0.0;  // +inf for HI
  // The variable may hold extended missing codes (Stata's .a-.z, SAS's ._
  // and .A-.Z, host/data/extended_missing.h): every one is user-missing.
  bool extended = false;

  bool Empty() const { return numbers.empty() && strings.empty() && !hasRange && !extended; }
};

// Measurement levels and roles as the host codes them.
namespace Measure {
enum : int { Unknown = 0, Nominal = 1, Ordinal = 2, Scale = 3 };
}
namespace Role {
enum : int { Input = 0, Target = 1, Both = 2, None = 3, Partition = 4, Split = 5 };
}

class HOST_API QUVO_Variable {
 public:
  // Dictionary facts, filled by the dataset reader.
  std::string name;
  std::optional<std::string> label;  // absent: no label
  int width = 0;                     // 0 numeric, else the string width in bytes
  int measure = Measure::Unknown;
  int role = Role::Input;
  QUVO_Format printFormat{8, FormatType::F, 2};
  QUVO_Format writeFormat{8, FormatType::F, 2};
  std::vector<ValueLabel> valueLabels;
  MissingValues missing;
  DatasourceAttributes attributes;

  // The procedure's view.
  const char* GetName() const { return name.c_str(); }
  const char* GetLabel() const { return label ? label->c_str() : nullptr; }
  int GetType() const { return width; }
  int GetMeasurementLevel() const { return measure; }
  int GetRole() const { return role; }
  // The print format: type code, width, decimals.
  void GetFormatEx(int& type, int& fmtWidth, int& decimals) const {
    type = printFormat.type;
    fmtWidth = printFormat.width;
    decimals = printFormat.decimals;
  }
  QUVO_Format GetWriteFormatEx() const { return writeFormat; }
  // Nonzero when the value is user-missing (never for system-missing).
  int IsMissing(const OBS& value) const;
  const DatasourceAttributes& GetAttributes() const { return attributes; }
  QUVO_ValueLabelMap GetValueLabels() const { return QUVO_ValueLabelMap(&valueLabels, width != 0); }

  // Host-side tests used by the aggregation engine on raw case values.
  bool IsString() const { return width != 0; }
  bool IsUserMissingNumber(double value) const;
  bool IsUserMissingString(std::string_view trimmed) const;
};

// A multiple-response set as the dictionary defines it.
class HOST_API VariableSetImpl {
 public:
  std::string name;                  // begins with "$"
  std::string label;                 // may be empty
  int type = 1;                      // 1 multiple category set, 2 multiple dichotomy set
  std::string countedValue;          // dichotomy sets
  std::vector<std::string> members;  // member names as defined, in set order

  const char* Name() const { return name.c_str(); }
};

class QUVO_DataSource;

// A view of one set for the procedure's item resolution.
class HOST_API VariableSet {
 public:
  explicit VariableSet(const VariableSetImpl* impl) : fImpl(impl) {}
  // The set's name as defined (beginning with "$"); the argument is the
  // host's change-case code and does not alter the name.
  std::string GetName(int changeCase) const;
  std::string GetLabel() const;
  int GetType() const;
  // The counted value of a dichotomy set, as text.
  std::string GetValue() const;
  // The member names as defined, in set order.
  std::vector<std::string> GetVariableNames(int changeCase) const;

 private:
  const VariableSetImpl* fImpl;
};

// The data source's sets of one kind (1: multiple-response sets), in the
// host's order.
class HOST_API VariableSets {
 public:
  VariableSets(const QUVO_DataSource& source, int kind);
  int Size() const { return static_cast<int>(fSets.size()); }
  VariableSet operator[](int i) const { return fSets[static_cast<std::size_t>(i)]; }
  std::vector<VariableSet>::const_iterator begin() const { return fSets.begin(); }
  std::vector<VariableSet>::const_iterator end() const { return fSets.end(); }

 private:
  std::vector<VariableSet> fSets;
};

// One document block: a list of lines.
class HOST_API DSDocument {
 public:
  explicit DSDocument(std::vector<std::string> lines) : fLines(std::move(lines)) {}
  int Size() const { return static_cast<int>(fLines.size()); }
  const std::string& operator[](int i) const { return fLines[static_cast<std::size_t>(i)]; }

 private:
  std::vector<std::string> fLines;
};

HOST_API std::vector<DSDocument> GetDocuments(const QUVO_DataSource& source);

// Case iteration. NextCase returns nonzero while a position was read; a
// position is either a case or, with split files, the end of a split group.
class HOST_API QUVO_InputCaseIterator {
 public:
  virtual ~QUVO_InputCaseIterator();
  virtual int NextCase() = 0;
};

class HOST_API ProcDSIterator : public QUVO_InputCaseIterator {
 public:
  ~ProcDSIterator() override;

  // True when the position read is the end of a split-file group (no case).
  bool SplitGroupEnd() const { return fPos.groupEnd; }

  // The current case, as the aggregation engine reads it. Only valid after a
  // NextCase that returned nonzero at a position that is not a group end.
  double Number(int var) const {
    host::EnsureCells(*fPos.block);
    return fPos.block->numbers[static_cast<std::size_t>(var)][fPos.row];
  }
  std::string_view String(int var) const {
    host::EnsureCells(*fPos.block);
    const host::StringColumn& col = fPos.block->strings[static_cast<std::size_t>(var)];
    return std::string_view(col.bytes.data() + col.offsets[fPos.row],
                            col.offsets[fPos.row + 1] - col.offsets[fPos.row]);
  }
  // The case weight: 1.0 when the file is unweighted; a case whose weight is
  // not positive (system-missing included) enters no table.
  double Weight() const { return fPos.block->weights.empty() ? 1.0 : fPos.block->weights[fPos.row]; }
  const QUVO_Variable& Variable(int var) const;
  const QUVO_DataSource& Source() const { return *fSource; }

  // Host-internal: where the iterator stands, and the pass that gathers the
  // cases its aggregation tables take (made when the first table asks).
  const host::CasePosition& Position() const { return fPos; }
  host::Pass& Pass();

 protected:
  explicit ProcDSIterator(const QUVO_DataSource* source);
  // Moves to another block (null: past the last). What the tables took from
  // the block left is gathered first, while that block is still valid, so an
  // iterator calls this before its reader reuses or frees the block.
  void SetBlock(const host::CaseBlock* block);
  host::Pass* ExistingPass() const { return fPass.get(); }

  const QUVO_DataSource* fSource;
  host::CasePosition fPos;

 private:
  std::unique_ptr<host::Pass> fPass;
};

class HOST_API QUVO_DataSource {
 public:
  virtual ~QUVO_DataSource();

  int ColumnCount() const;
  // The number of cases in the file; negative when the host does not know it.
  virtual std::int64_t GetCaseCount() const;
  // The index of a variable (names match ignoring case), or -1.
  int FindVarIndex(const char* name, int flags) const;
  QUVO_Variable* GetVariable(int index) const;
  // Folder and file name joined by one backslash, or null.
  const char* GetFileSpec() const;
  // The file label, or null.
  const char* GetLabel() const;
  const DatasourceAttributes& GetAttributes() const;
  const std::vector<VariableSetImpl*>& GetMRSets() const;

  host::Dataset* Dataset() const { return fDataset.get(); }

 protected:
  explicit QUVO_DataSource(std::shared_ptr<host::Dataset> dataset);

  std::shared_ptr<host::Dataset> fDataset;
  std::vector<VariableSetImpl*> fSets;
};

// The data source of one procedure call: the host's active dataset.
class HOST_API ProcedureDataSource : public QUVO_DataSource {
 public:
  ProcedureDataSource();
  ~ProcedureDataSource() override;

  // True when the active dataset failed to load (or there is none).
  bool FatalError() const;
  // The data source that holds the file facts, or null (always null here).
  QUVO_DataSource* Parent() const { return nullptr; }
  // The weight variable's index, or -1 when unweighted.
  int GetWeightVarIndex() const;
  // A new case iterator over the whole file, owned by the caller. It is a
  // ProcDSIterator.
  virtual QUVO_InputCaseIterator* CreateCaseIterator(int flags);
};

// Names. Byte-wise ASCII case folding; other bytes compare exactly, so UTF-8
// text passes through.
HOST_API int QUVOMBstricmp_A(const char* a, const char* b);
HOST_API int QUVOMBstrnicmp_A(const char* a, const char* b, std::size_t length);
// Copies text into the start of a buffer that the caller filled with blanks;
// at most bufferLength bytes are written.
HOST_API void QUVOMBCopyToFixed_A(char* buffer, int bufferLength, const char* text, int textLength);
// 0 when the text is a well-formed variable name; nonzero otherwise.
HOST_API int ValidateQUVOName(const char* name);

// A variable or set name as a value.
class HOST_API QuvoVarName {
 public:
  explicit QuvoVarName(const char* text) : fText(text ? text : "") {}
  const char* c_str() const { return fText.c_str(); }
  std::size_t length() const { return fText.size(); }
  const std::string& str() const { return fText; }

 private:
  std::string fText;
};

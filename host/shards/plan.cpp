// Step 1 (shards.h): the dry run that learns the tables of every pass, and
// the plan file.
#include <algorithm>
#include <filesystem>

#include "host/data/csv_parts.h"
#include "host/data/dataset.h"
#include "host/engine/pass.h"
#include "host/shards/container.h"
#include "host/shards/dictionary_io.h"
#include "host/shards/plan_file.h"
#include "host/shards/wire.h"

namespace host::shards {

namespace {

namespace fs = std::filesystem;

// Cases of a dry run come in blocks of this many...
constexpr std::size_t kDryRows = std::size_t{1} << 16;
// ... until no table with categories takes them all, or this many came: a
// category limit beyond it is not learnt, and the parts gather such a table
// whole (exact all the same, only more work for a table the procedure lets
// go).
constexpr std::uint64_t kDryCases = std::uint64_t{1} << 24;

// ---------------------------------------------------------------- dry run

class DryRunCursor : public CaseCursor {
 public:
  DryRunCursor(Pass* pass, std::vector<PassPlan>& passes) : fPass(pass), fPasses(passes) {
    if (fPass != nullptr) fPass->StartDryRun();
    fBlock.rows = kDryRows;
  }

  ~DryRunCursor() override {
    // The iterator has left its last block: every table's count is in.
    PassPlan plan;
    if (fPass != nullptr) {
      const std::vector<std::shared_ptr<const engine::TableRules>> rules = fPass->Rules();
      const std::vector<std::uint64_t>& taken = fPass->Taken();
      for (std::size_t i = 0; i < rules.size(); ++i) {
        TablePlan t;
        t.rules = rules[i];
        t.rulesBytes = RulesBytes(rules[i].get());
        t.active = rules[i] && taken[i] > 0;
        if (t.active && rules[i]->dimension && taken[i] < fDelivered) t.limit = taken[i] - 1;
        plan.tables.push_back(std::move(t));
      }
    }
    fPasses.push_back(std::move(plan));
  }

  const CaseBlock* NextBlock() override {
    if (fDelivered >= kDryCases || (fDelivered > 0 && !Wanted())) return nullptr;
    fDelivered += fBlock.rows;
    return &fBlock;
  }

  std::int64_t CountRemaining() override { return 0; }

 private:
  // Some table with categories took every case so far: the procedure has not
  // yet asked for its number of categories.
  bool Wanted() const {
    if (fPass == nullptr) return false;
    const std::vector<std::shared_ptr<const engine::TableRules>> rules = fPass->Rules();
    const std::vector<std::uint64_t>& taken = fPass->Taken();
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (rules[i] && rules[i]->dimension && taken[i] == fDelivered) return true;
    }
    return false;
  }

  Pass* fPass;
  std::vector<PassPlan>& fPasses;
  CaseBlock fBlock;
  std::uint64_t fDelivered = 0;
};

// A count of the cases during the dry run (a command that shows the case
// count without a pass): none, and no pass to record.
class NoCases : public CaseCursor {
 public:
  const CaseBlock* NextBlock() override { return nullptr; }
  std::int64_t CountRemaining() override { return 0; }
};

class DryRunSource : public CaseSource {
 public:
  std::unique_ptr<CaseCursor> Open() const override { return std::make_unique<NoCases>(); }
  std::unique_ptr<CaseCursor> OpenFor(const ReadPlan& plan) const override {
    return std::make_unique<DryRunCursor>(plan.pass, fPasses);
  }
  std::vector<PassPlan>& Passes() const { return fPasses; }

 private:
  mutable std::vector<PassPlan> fPasses;
};

// ---------------------------------------------------------------- layout

char LoadChar(wire::Reader& in) { return static_cast<char>(in.U8()); }

void SaveLayout(wire::Writer& out, const CsvLayout& l, const std::vector<PartPlan>& parts) {
  out.U8(static_cast<std::uint8_t>(l.dialect.delimiter));
  out.U8(static_cast<std::uint8_t>(l.dialect.quote));
  out.Bool(l.dialect.quoting);
  out.Bool(l.dialect.header);
  out.Bytes(l.request.encoding);
  const DialectRewrite& r = l.request.dialect;
  out.U8(static_cast<std::uint8_t>(r.delimiter));
  out.U8(static_cast<std::uint8_t>(r.quote));
  out.Bool(r.doubleQuote);
  out.U8(static_cast<std::uint8_t>(r.escapeChar));
  // Two flags in one byte: a plan without quotes escaped by a backslash
  // reads as it did before they were read.
  out.U8(static_cast<std::uint8_t>((r.skipInitialSpace ? 1 : 0) | (r.backslashQuote ? 2 : 0)));
  out.U8(static_cast<std::uint8_t>(r.commentChar));
  out.Strings(l.header);
  out.Count(l.columns.size());
  for (const CsvColumn& c : l.columns) {
    out.Bytes(c.name);
    out.U8(static_cast<std::uint8_t>(c.kind));
    out.I64(c.width);
    out.Strings(c.missingTexts);
    out.Bool(c.emptyIsMissing);
    out.U8(static_cast<std::uint8_t>(c.style.decimalChar));
    out.U8(static_cast<std::uint8_t>(c.style.groupChar));
    out.Bool(c.style.bare);
    out.Strings(c.trueValues);
    out.Strings(c.falseValues);
    out.Bytes(c.datePattern);
  }
  out.I64(l.weightIndex);
  SaveMissing(out, l.weightMissing);
  out.Count(l.splitIndices.size());
  for (int i : l.splitIndices) out.I64(i);
  out.I64(l.firstChunkBytes);
  out.I64(l.largestChunkBytes);
  out.Count(parts.size());
  for (const PartPlan& p : parts) {
    out.Bytes(p.path);
    out.Bytes(p.displayName);
    SaveStamp(out, p.stamp);
  }
}

void LoadLayout(wire::Reader& in, CsvLayout& l, std::vector<PartPlan>& parts, std::size_t variables) {
  l.dialect.delimiter = LoadChar(in);
  l.dialect.quote = LoadChar(in);
  l.dialect.quoting = in.Bool();
  l.dialect.header = in.Bool();
  l.request.encoding = in.String();
  DialectRewrite& r = l.request.dialect;
  r.delimiter = LoadChar(in);
  r.quote = LoadChar(in);
  r.doubleQuote = in.Bool();
  r.escapeChar = LoadChar(in);
  const std::uint8_t blanksAndBackslash = in.U8();
  if (blanksAndBackslash > 3) throw wire::Damaged("a flag holds " + std::to_string(blanksAndBackslash));
  r.skipInitialSpace = (blanksAndBackslash & 1) != 0;
  r.backslashQuote = (blanksAndBackslash & 2) != 0;
  r.commentChar = LoadChar(in);
  l.header = in.Strings();
  const std::size_t columns = in.Count(32);
  if (columns != variables) throw wire::Damaged("the reading of the parts has another number of columns");
  for (std::size_t i = 0; i < columns; ++i) {
    CsvColumn c;
    c.name = in.String();
    const std::uint8_t kind = in.U8();
    if (kind > static_cast<std::uint8_t>(CellKind::Duration)) throw wire::Damaged("unknown kind of column");
    c.kind = static_cast<CellKind>(kind);
    const std::int64_t width = in.I64();
    if (width < 0 || width > (std::int64_t{1} << 20)) throw wire::Damaged("a column width is out of range");
    c.width = static_cast<int>(width);
    c.missingTexts = in.Strings();
    c.emptyIsMissing = in.Bool();
    c.style.decimalChar = LoadChar(in);
    c.style.groupChar = LoadChar(in);
    c.style.bare = in.Bool();
    c.trueValues = in.Strings();
    c.falseValues = in.Strings();
    c.datePattern = in.String();
    l.columns.push_back(std::move(c));
  }
  const std::int64_t weight = in.I64();
  if (weight < -1 || weight >= static_cast<std::int64_t>(columns))
    throw wire::Damaged("the weight column is out of range");
  l.weightIndex = static_cast<int>(weight);
  l.weightMissing = LoadMissing(in);
  const std::size_t split = in.Count(8);
  for (std::size_t i = 0; i < split; ++i) {
    const std::int64_t s = in.I64();
    if (s < 0 || s >= static_cast<std::int64_t>(columns)) throw wire::Damaged("a split column is out of range");
    l.splitIndices.push_back(static_cast<int>(s));
  }
  l.firstChunkBytes = in.I64();
  l.largestChunkBytes = in.I64();
  if (l.firstChunkBytes < 1 || l.largestChunkBytes < 0) throw wire::Damaged("block sizes are out of range");
  const std::size_t n = in.Count(16);
  for (std::size_t i = 0; i < n; ++i) {
    PartPlan p;
    p.path = in.String();
    p.displayName = in.String();
    p.stamp = LoadStamp(in);
    parts.push_back(std::move(p));
  }
}

// A table's rules must read columns of the dictionary, as the types it has.
void CheckRules(const engine::TableRules& rules, const Dataset& d) {
  auto check = [&d](const engine::ColumnRule& c) {
    if (!c.known) return;
    if (c.index < 0 || static_cast<std::size_t>(c.index) >= d.variables.size() ||
        d.variables[static_cast<std::size_t>(c.index)]->IsString() != c.isString) {
      throw wire::Damaged("a table reads a column the dictionary does not have");
    }
  };
  if (rules.dimension) {
    for (const engine::ColumnRule& m : rules.dimension->members) check(m);
  }
  for (const engine::ScaleRule& s : rules.scales) check(s.column);
}

}  // namespace

std::string RulesBytes(const engine::TableRules* rules) {
  if (rules == nullptr) return {};
  wire::Writer out;
  rules->Save(out);
  return std::move(out.Buffer());
}

// ---------------------------------------------------------------- recorder

struct PlanRecorder::Impl {
  std::shared_ptr<Dataset> dataset;
  std::shared_ptr<CaseSource> cases;  // the dataset's own, put back at the end
  std::shared_ptr<DryRunSource> dry;
  std::vector<const CsvLayout*> parts;
  bool counted = false;  // reading the dictionary counted the cases (types or widths left open)
};

PlanRecorder::PlanRecorder(std::shared_ptr<Dataset> dataset) : fImpl(std::make_unique<Impl>()) {
  fImpl->dataset = std::move(dataset);
  fImpl->counted = fImpl->dataset->caseCount.has_value();
  fImpl->cases = fImpl->dataset->cases;
  fImpl->parts = CsvPartsOf(fImpl->cases.get());
  if (fImpl->parts.empty()) {
    throw InputError(
        "a plan reads CSV files (a data package's resource, in one file or in parts, or a bare CSV "
        "file); this dataset's cases come from elsewhere");
  }
  for (const CsvLayout* part : fImpl->parts) {
    if (part->request.path == "-") {
      throw InputError("standard input cannot be read again by the parts' passes; save it to a file and name that");
    }
    if (part->request.text) {
      throw InputError(
          "the rows written inside the descriptor cannot be split into parts; save them to a CSV file "
          "and name it in \"path\"");
    }
  }
  fImpl->dry = std::make_shared<DryRunSource>();
  fImpl->dataset->cases = fImpl->dry;
}

PlanRecorder::~PlanRecorder() {
  fImpl->dataset->cases = fImpl->cases;
  fImpl->dataset->caseCount.reset();
}

void PlanRecorder::Write(std::ostream& out, const RunFacts& facts) const {
  RecordWriter file(out, FileKind::Plan);
  {
    wire::Writer head;
    head.Bytes(facts.title);
    head.Bytes(facts.fileName);
    head.Bytes(facts.syntax);
    head.Bytes(facts.syntaxSource);
    head.Bool(fImpl->counted);
    file.Write(Tag::PlanHead, head.Buffer());
  }
  {
    wire::Writer dictionary;
    SaveDictionary(*fImpl->dataset, dictionary);
    file.Write(Tag::Dictionary, dictionary.Buffer());
  }
  std::vector<PartPlan> parts;
  for (const CsvLayout* p : fImpl->parts) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(p->request.path, ec);
    const std::string path = ec ? p->request.path : absolute.lexically_normal().string();
    parts.push_back({path, p->displayName, StampOf(path)});
  }
  {
    wire::Writer source;
    SaveLayout(source, *fImpl->parts.front(), parts);
    file.Write(Tag::Source, source.Buffer());
  }
  {
    // Each file of the dictionary and the commands, absolute as the
    // dictionary's list has them, but the parts: their states answer for
    // them.
    std::vector<std::string> files;
    for (const std::string& input : fImpl->dataset->files) {
      std::error_code ec;
      const std::string path = fs::absolute(input, ec).lexically_normal().string();
      const auto isPart = [&path](const PartPlan& part) { return part.path == path; };
      if (ec || std::any_of(parts.begin(), parts.end(), isPart) ||
          std::find(files.begin(), files.end(), path) != files.end())
        continue;
      files.push_back(path);
    }
    wire::Writer inputs;
    inputs.Count(files.size());
    for (const std::string& path : files) {
      inputs.Bytes(path);
      SaveStamp(inputs, StampOf(path));
    }
    file.Write(Tag::Inputs, inputs.Buffer());
  }
  for (const PassPlan& pass : fImpl->dry->Passes()) {
    wire::Writer record;
    record.Count(pass.tables.size());
    for (const TablePlan& t : pass.tables) {
      record.Bool(t.rules != nullptr);
      if (t.rules) record.Bytes(t.rulesBytes);
      record.Bool(t.active);
      record.Bool(t.limit.has_value());
      record.U64(t.limit.value_or(0));
    }
    file.Write(Tag::PassPlan, record.Buffer());
  }
  file.Finish();
}

// ---------------------------------------------------------------- loading

Plan LoadPlan(const std::string& path) {
  Plan plan;
  plan.path = path;
  RecordReader file(path, FileKind::Plan);
  Tag tag;
  std::string payload;
  bool head = false, dictionary = false, source = false;
  while (file.Next(tag, payload)) {
    wire::Reader in(payload);
    try {
      switch (tag) {
        case Tag::PlanHead:
          plan.facts.title = in.String();
          plan.facts.fileName = in.String();
          plan.facts.syntax = in.String();
          plan.facts.syntaxSource = in.String();
          plan.counted = in.Bool();
          head = true;
          break;
        case Tag::Dictionary:
          plan.dictionary = std::make_shared<Dataset>();
          LoadDictionary(in, *plan.dictionary);
          dictionary = true;
          break;
        case Tag::Source:
          if (!dictionary) throw wire::Damaged("the reading of the parts comes before the dictionary");
          LoadLayout(in, plan.layout, plan.parts, plan.dictionary->variables.size());
          source = true;
          break;
        case Tag::Inputs: {
          const std::size_t files = in.Count(24);
          for (std::size_t i = 0; i < files; ++i) {
            std::pair<std::string, PartStamp> input;
            input.first = in.String();
            input.second = LoadStamp(in);
            plan.inputs.push_back(std::move(input));
          }
          break;
        }
        case Tag::PassPlan: {
          if (!dictionary) throw wire::Damaged("a pass comes before the dictionary");
          PassPlan pass;
          const std::size_t tables = in.Count(4);
          for (std::size_t i = 0; i < tables; ++i) {
            TablePlan t;
            if (in.Bool()) {
              t.rulesBytes = in.String();
              wire::Reader rules(t.rulesBytes);
              auto loaded = std::make_shared<engine::TableRules>(engine::TableRules::Load(rules));
              rules.ExpectEnd();
              CheckRules(*loaded, *plan.dictionary);
              t.rules = std::move(loaded);
            }
            t.active = in.Bool();
            const bool limited = in.Bool();
            const std::uint64_t limit = in.U64();
            if (limited) t.limit = limit;
            pass.tables.push_back(std::move(t));
          }
          plan.passes.push_back(std::move(pass));
          break;
        }
        default:
          throw wire::Damaged("a record of an unknown kind (" + std::to_string(static_cast<std::uint32_t>(tag)) + ")");
      }
      in.ExpectEnd();
    } catch (const wire::Damaged& e) {
      file.Damaged(e.what());
    }
  }
  if (!head || !dictionary || !source) file.Damaged("a part of the plan is missing");
  plan.digest = file.DigestValue();
  return plan;
}

PlanSummary SummarizePlan(const std::string& planPath) {
  const Plan plan = LoadPlan(planPath);
  PlanSummary summary;
  for (const PartPlan& p : plan.parts) {
    summary.parts.push_back(p.displayName);
    summary.paths.push_back(p.path);
  }
  if (plan.dictionary) summary.files = plan.dictionary->files;
  summary.passes = plan.passes.size();
  summary.digest = plan.digest;
  return summary;
}

}  // namespace host::shards

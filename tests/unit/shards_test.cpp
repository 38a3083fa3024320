// A run in parts: the plan (a dry run of the statistics), one pass per part
// writing partial states, and the merge that replays them, must give exactly
// the results of one pass over all the parts: the same bits, for weighted
// files with user-missing values, sets, labelled values, split groups that
// run across parts, a part with one case and one with none, and category
// limits that let tables go mid-part or end the pass early; the report
// overview's side statistics too. States that are damaged, of another plan or
// missing are refused with a message.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "data_test_util.h"
#include "host/data/csv_parts.h"
#include "host/data/csv_source.h"
#include "host/dataset.h"
#include "host/engine/accumulate.h"
#include "host/engine/profile.h"
#include "host/shards/shards.h"
#include "host/shards/wire.h"
#include "support/statistics_run.h"

namespace {

// About 3,000 cases; split groups change every 450 cases, across parts too.
std::vector<std::string> MakeRows() {
  std::vector<std::string> rows;
  unsigned state = 4242;
  auto next = [&state](unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  for (int i = 0; i < 3000; ++i) {
    std::ostringstream row;
    row << i / 450 << ",";
    const unsigned wk = next(30);
    if (wk == 0) {
      row << "";
    } else if (wk == 1) {
      row << "-1";
    } else {
      row << (next(700) + 1) / 100.0;
    }
    row << "," << (next(10) == 0 ? 9 : 1 + next(6));
    row << "," << (i / 20) * 3 + next(2);  // a new category every 20 cases
    const unsigned sk = next(12);
    row << (sk == 0 ? ",NA" : sk == 1 ? ",\"two\nlines\"" : std::string(",") + static_cast<char>('a' + next(6)));
    row << ",";
    if (next(15) != 0) row << next(3000000) / 7.0;
    row << "," << 18 + next(60) << "," << next(2) << "," << next(2) << "," << 1 + next(4) << "," << 1 + next(4);
    rows.push_back(row.str());
  }
  return rows;
}

const char* kHeader = "g,w,code,many,s,income,age,m1,m2,b1,b2\n";

using testsupport::CategoryResults;
using testsupport::EntrySpec;
using testsupport::RunResults;

// The entries a default command plans (as the procedure's run does), or only
// the categorical ones; entries over MAXCATS are not read, as in a run.
RunResults RunStatistics(std::int32_t maxCats, bool categoricalOnly = false) {
  std::vector<EntrySpec> entries = testsupport::SurveyEntries({"m1", "m2"});
  if (categoricalOnly) std::erase_if(entries, [](const EntrySpec& e) { return e.treatment == 1; });
  return testsupport::RunStatistics(entries, maxCats, false);
}

// Equal to the last bit.
bool Same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectIdentical(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_TRUE(Same(got[i], want[i])) << what << "[" << i << "]: " << got[i] << " vs " << want[i];
}

void ExpectIdentical(const RunResults& got, const RunResults& want, const std::string& how) {
  EXPECT_EQ(got.cases, want.cases) << how;
  EXPECT_EQ(got.caseCount, want.caseCount) << how;
  EXPECT_EQ(got.shown, want.shown) << how;
  EXPECT_TRUE(Same(got.caseTotal, want.caseTotal)) << how;
  ASSERT_EQ(got.scale.size(), want.scale.size()) << how;
  for (std::size_t i = 0; i < want.scale.size(); ++i) {
    const std::string what = how + ", entry " + std::to_string(i);
    ExpectIdentical(got.scale[i], want.scale[i], what + " scale");
    const CategoryResults& g = got.categories[i];
    const CategoryResults& w = want.categories[i];
    ExpectIdentical(g.counts, w.counts, what + " counts");
    ExpectIdentical(g.percents, w.percents, what + " percents");
    ASSERT_EQ(g.values.size(), w.values.size()) << what;
    for (std::size_t k = 0; k < w.values.size(); ++k) EXPECT_EQ(g.values[k].u, w.values[k].u) << what;
    EXPECT_EQ(g.texts, w.texts) << what;
    EXPECT_EQ(g.members, w.members) << what;
    EXPECT_TRUE(Same(g.missing, w.missing)) << what;
    EXPECT_TRUE(Same(g.total, w.total)) << what;
  }
}

// The overview's summaries with every double as its bits: equal strings are
// equal to the last bit.
std::string Dump(const host::engine::DataProfile* profile) {
  if (profile == nullptr) return "none";
  std::ostringstream out;
  auto bits = [&out](double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    out << std::hex << b << std::dec << " ";
  };
  for (const auto& [index, c] : profile->columns) {
    out << "column " << index << " " << c.isString << c.full << c.validCases << " " << c.distinct << c.distinctOver
        << c.hasRange << c.hasMode << " " << c.modeString << " ";
    for (double x : {c.validWeight, c.missingWeight, c.min, c.max, c.modeNumber, c.modeWeight}) bits(x);
    out << c.histogram.grid.step << "e" << c.histogram.grid.exponent << "+" << c.histogram.first << ": ";
    for (double w : c.histogram.weights) bits(w);
    out << "\n";
  }
  for (const auto& [name, set] : profile->sets) {
    out << "set " << name << " ";
    bits(set.validWeight);
    bits(set.missingWeight);
    out << "\n";
  }
  return out.str();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class PartsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> rows = MakeRows();
    // Uneven parts: one case alone, one part without cases, a group that
    // runs from one part into the next.
    const std::vector<std::pair<std::size_t, std::size_t>> cuts = {{0, 1100}, {1100, 1101}, {1101, 1101}, {1101, 3000}};
    for (std::size_t k = 0; k < cuts.size(); ++k) {
      std::string csv = kHeader;
      for (std::size_t i = cuts[k].first; i < cuts[k].second; ++i) csv += rows[i] + "\n";
      fParts.push_back(fDir.Write("part" + std::to_string(k + 1) + ".csv", csv));
    }
    std::vector<std::string> warnings;
    fDataset = host::LoadDataset(
        fDir.Write("datapackage.json", testsupport::SurveyDescriptor("part1.csv", {"m1", "m2"}, 400000)), warnings);
    const auto* csv = dynamic_cast<const host::CsvCaseSource*>(fDataset->cases.get());
    ASSERT_NE(csv, nullptr);
    host::CsvLayout first = csv->Layout();
    // Small blocks, so that parts hold many and tables stop within them.
    first.firstChunkBytes = 97;
    first.largestChunkBytes = 900;
    std::vector<host::CsvLayout> layouts;
    for (std::size_t k = 0; k < fParts.size(); ++k) {
      layouts.push_back(host::OpenCsvPart(first, fParts[k], "part" + std::to_string(k + 1) + ".csv"));
    }
    fDataset->cases = std::make_shared<host::CsvPartsSource>(std::move(layouts));
    fDataset->caseCount.reset();
  }
  void TearDown() override {
    host::SetThreads(0);
    host::SetActiveDataset(nullptr);
  }

  // Runs with the overview's side statistics, kept in fProfile.
  RunResults Direct(std::int32_t maxCats, bool categoricalOnly = false) {
    fDataset->caseCount.reset();
    fDataset->profile.reset();
    fDataset->profileWanted = true;
    host::SetActiveDataset(fDataset);
    RunResults results = RunStatistics(maxCats, categoricalOnly);
    fProfile = Dump(fDataset->profile.get());
    return results;
  }

  // The plan written by a dry run of the statistics.
  std::string WritePlan(std::int32_t maxCats, bool categoricalOnly = false, const std::string& name = "run.plan") {
    host::SetActiveDataset(fDataset);
    {
      host::shards::PlanRecorder recorder(fDataset);
      RunStatistics(maxCats, categoricalOnly);
      std::ofstream out(fDir.Path() + "/" + name, std::ios::binary);
      recorder.Write(out, host::shards::RunFacts{"title", "file", "CODEBOOK", "test"});
    }
    return fDir.Path() + "/" + name;
  }

  std::vector<std::string> RunParts(const std::string& plan, const std::string& prefix = "part") {
    std::vector<std::string> states;
    for (std::size_t k = 1; k <= fParts.size(); ++k) {
      states.push_back(fDir.Path() + "/" + prefix + std::to_string(k) + ".state");
      std::ofstream out(states.back(), std::ios::binary);
      host::shards::RunPart(plan, k, out);
    }
    return states;
  }

  RunResults Merged(const std::string& plan, const std::vector<std::string>& states, std::int32_t maxCats,
                    bool categoricalOnly = false) {
    host::shards::MergeRun merge = host::shards::PrepareMerge(plan, states);
    merge.dataset->profileWanted = true;
    host::SetActiveDataset(merge.dataset);
    RunResults results = RunStatistics(maxCats, categoricalOnly);
    fProfile = Dump(merge.dataset->profile.get());
    return results;
  }

  // The message of the InputError that merging these states raises.
  std::string MergeError(const std::string& plan, const std::vector<std::string>& states, std::int32_t maxCats = 200) {
    try {
      Merged(plan, states, maxCats);
    } catch (const host::InputError& e) {
      return e.what();
    }
    return "no error";
  }

  datatest::TempDir fDir;
  std::vector<std::string> fParts;
  std::shared_ptr<host::Dataset> fDataset;
  std::string fProfile;  // of the last run
};

TEST_F(PartsRun, EqualsOnePassOverAllParts) {
  // 0: every table let go at once; 12: "many" goes mid-part; 500: none goes.
  for (std::int32_t maxCats : {0, 12, 500}) {
    for (int threads : {1, 3}) {
      host::SetThreads(threads);
      const RunResults whole = Direct(maxCats);
      const std::string wholeProfile = fProfile;
      ASSERT_EQ(whole.cases, 3000);
      const std::string plan = WritePlan(maxCats);
      const RunResults merged = Merged(plan, RunParts(plan), maxCats);
      const std::string how = "MAXCATS " + std::to_string(maxCats) + ", " + std::to_string(threads) + " threads";
      ExpectIdentical(merged, whole, how);
      EXPECT_EQ(fProfile, wholeProfile) << how;
      // The overview has the income's histogram (binned: it has more
      // distinct values than the profile counts) and the sets.
      EXPECT_NE(wholeProfile.find("column 5 01"), std::string::npos) << wholeProfile;
      EXPECT_NE(wholeProfile.find("set $b"), std::string::npos) << how;
    }
  }
  // The flags must have differed between the limits for the test to mean much.
  EXPECT_NE(Direct(12).shown, Direct(500).shown);
}

// Only categorical tables over a low limit: the pass ends early in the first
// part; the parts stop gathering (and the later ones read nothing), and the
// case count still covers every case of every part.
TEST_F(PartsRun, EarlyStopAndCaseCount) {
  const RunResults whole = Direct(1, true);
  ASSERT_LT(whole.cases, 100);
  EXPECT_EQ(whole.caseCount, 3000);
  EXPECT_EQ(fProfile, "none");  // the pass did not read every case
  const std::string plan = WritePlan(1, true);
  const std::vector<std::string> states = RunParts(plan);
  ExpectIdentical(Merged(plan, states, 1, true), whole, "early stop");
  EXPECT_EQ(fProfile, "none");
  // The last part gathered a few blocks at most, not its 1,900 cases.
  EXPECT_LT(ReadFile(states.back()).size(), 20000u);
}

TEST_F(PartsRun, RefusesStatesThatDoNotFit) {
  const std::string plan = WritePlan(200);
  const std::vector<std::string> states = RunParts(plan);
  const std::string good = ReadFile(states[0]);

  // Cut short, and a byte changed inside a record.
  fDir.Write("part1.state", good.substr(0, good.size() - 7));
  EXPECT_NE(MergeError(plan, states).find("part1.state: the file is damaged (record"), std::string::npos);
  fDir.Write("part1.state", good.substr(0, good.size() - 24));  // without its end record
  EXPECT_NE(MergeError(plan, states).find("without its end record"), std::string::npos);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  fDir.Write("part1.state", flipped);
  EXPECT_NE(MergeError(plan, states).find("fails its checksum"), std::string::npos);
  // Another format version, and not a state at all.
  std::string version = good;
  version[8] = 9;
  fDir.Write("part1.state", version);
  EXPECT_NE(MergeError(plan, states).find("format version 9; this program reads version "), std::string::npos);
  fDir.Write("part1.state", "g,w\n1,2\n");
  EXPECT_NE(MergeError(plan, states).find("part1.state: not a partial state written by codebook"), std::string::npos);
  std::vector<std::string> withPlan = states;
  withPlan[0] = plan;
  EXPECT_NE(MergeError(plan, withPlan).find("is a plan, not a partial state"), std::string::npos);
  fDir.Write("part1.state", good);
  EXPECT_EQ(MergeError(plan, states), "no error");

  // A part missing, a part twice.
  EXPECT_NE(MergeError(plan, {states[0], states[1], states[3]}).find("lacks the partial state of part 3 (part3.csv)"),
            std::string::npos);
  EXPECT_NE(MergeError(plan, {states[0], states[1], states[2], states[3], states[1]}).find("comes twice"),
            std::string::npos);

  // States of another plan; a merge that sets up other tables than the plan's.
  const std::string other = WritePlan(200, true, "other.plan");
  const std::vector<std::string> otherStates = RunParts(other, "other");
  EXPECT_NE(MergeError(plan, {states[0], states[1], states[2], otherStates[3]}).find("made with another plan"),
            std::string::npos);
  try {
    Merged(other, otherStates, 200, false);
    ADD_FAILURE() << "a merge with other tables ran";
  } catch (const host::InputError& e) {
    EXPECT_NE(std::string(e.what()).find("does not run the passes the plan was written for"), std::string::npos);
  }
}

// A bad cell fails the pass over its part with the usual message, naming the
// part's file and the cell's line and column.
TEST_F(PartsRun, BadCellNamesItsPart) {
  const std::string plan = WritePlan(200);
  std::string csv = ReadFile(fParts[3]);
  // A record's start: a line that begins with its group number (a quoted
  // line break is followed by a letter).
  std::size_t at = csv.find('\n', csv.size() / 2) + 1;
  while (!std::isdigit(static_cast<unsigned char>(csv[at]))) at = csv.find('\n', at) + 1;
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(csv.begin(), csv.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  csv.replace(at, csv.find(',', at) - at, "x");
  fDir.Write("part4.csv", csv);
  std::ostringstream out;
  try {
    host::shards::RunPart(plan, 4, out);
    ADD_FAILURE() << "the bad cell went unnoticed";
  } catch (const host::InputError& e) {
    EXPECT_NE(std::string(e.what()).find("part4.csv, line " + std::to_string(line) + ", column 1"), std::string::npos)
        << e.what();
  }
}

// The overview's profile saved and loaded merges exactly as the one saved:
// values kept one by one (numbers and strings), histogram bins, totals only,
// sets. Bytes cut short or made for other wants are refused.
TEST_F(PartsRun, SavedProfileLoadsBitForBit) {
  host::ReadPlan read;
  read.columns.assign(fDataset->variables.size(), 1);
  host::engine::PassProfile wants(*fDataset);
  wants.Want(read.columns);
  wants.WantColumn(fDataset->Find("many"), false);  // asked for in full already: stays full
  host::engine::PassProfile original = wants.Fresh();
  std::vector<host::engine::PassProfile> later;
  std::unique_ptr<host::CaseCursor> cursor = fDataset->cases->OpenFor(read);
  for (std::size_t k = 0; const host::CaseBlock* block = cursor->NextBlock(); ++k) {
    host::engine::PassProfile one = wants.Fresh();
    one.Add(*block);
    if (k < 80) {
      original.Merge(std::move(one));
    } else {
      later.push_back(std::move(one));
    }
  }
  ASSERT_GT(later.size(), 20u);
  host::wire::Writer saved;
  original.Save(saved);
  host::engine::PassProfile loaded = wants.Fresh();
  host::wire::Reader in(saved.Buffer());
  loaded.Load(in);
  EXPECT_TRUE(in.AtEnd());
  host::wire::Writer again;
  loaded.Save(again);
  EXPECT_EQ(again.Buffer(), saved.Buffer());
  for (host::engine::PassProfile& one : later) {
    host::wire::Writer bytes;
    one.Save(bytes);
    host::engine::PassProfile copy = wants.Fresh();
    host::wire::Reader r(bytes.Buffer());
    copy.Load(r);
    original.Merge(std::move(one));
    loaded.Merge(std::move(copy));
  }
  const host::engine::DataProfile a = original.Finalize();
  const host::engine::DataProfile b = loaded.Finalize();
  EXPECT_EQ(Dump(&a), Dump(&b));
  EXPECT_NE(Dump(&a).find("column 5 01"), std::string::npos);  // income, binned
  EXPECT_EQ(a.columns.size(), fDataset->variables.size());
  EXPECT_EQ(a.sets.size(), 2u);

  for (std::size_t cut : {std::size_t{3}, saved.Size() / 2, saved.Size() - 1}) {
    host::engine::PassProfile part = wants.Fresh();
    host::wire::Reader shorter(std::string_view(saved.Buffer()).substr(0, cut));
    EXPECT_THROW(part.Load(shorter), host::wire::Damaged) << "cut at " << cut;
  }
  host::engine::PassProfile fewer(*fDataset);
  fewer.WantColumn(fDataset->Find("income"));
  host::wire::Reader other(saved.Buffer());
  EXPECT_THROW(fewer.Load(other), host::wire::Damaged);
}

// An accumulator saved and loaded answers and merges exactly as the one
// saved, on every path of the engine: dense, hashed and string categories,
// pre-defined ones, dichotomies, value tables and stored values with and
// without weights.
TEST(SavedState, LoadsBitForBit) {
  host::CaseBlock block;
  block.rows = 6000;
  block.numbers.resize(4);
  block.strings.resize(4);
  unsigned state = 99;
  auto next = [&state](unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  block.strings[3].offsets.push_back(0);
  for (std::size_t r = 0; r < block.rows; ++r) {
    block.numbers[0].push_back(next(20) == 0 ? SYSMIS : 1 + next(5));  // codes
    block.numbers[1].push_back(next(1000000) / 3.0);                   // continuous
    block.numbers[2].push_back(next(2));
    const std::string s(1 + next(3), static_cast<char>('a' + next(26)));
    block.strings[3].bytes += s;
    block.strings[3].offsets.push_back(static_cast<std::uint32_t>(block.strings[3].bytes.size()));
    block.weights.push_back(next(10) == 0 ? 0.0 : (1 + next(300)) / 100.0);
  }
  auto column = [](int index, bool isString) {
    host::engine::ColumnRule c;
    c.index = index;
    c.known = c.usable = true;
    c.isString = isString;
    return c;
  };
  std::vector<host::engine::TableRules> all(5);
  all[0].dimension.emplace();
  all[0].dimension->members = {column(0, false)};
  all[1].dimension.emplace();
  all[1].dimension->isString = true;
  all[1].dimension->members = {column(3, true)};
  all[2].dimension.emplace();
  all[2].dimension->fixed = true;
  all[2].dimension->predefinedNumbers = {3, 1};
  all[2].dimension->members = {column(0, false)};
  all[3].dimension.emplace();
  all[3].dimension->kind = host::DimensionKind::DichotomySet;
  all[3].dimension->members = {column(2, false), column(0, false)};
  all[3].dimension->countedNumber = 1;
  all[3].dimension->knownMembers = 2;
  all[4].scales = {{column(1, false), true}, {column(0, false), true}, {column(1, false), false}};
  for (bool weighted : {false, true}) {
    host::CaseBlock b = block;
    if (!weighted) b.weights.clear();
    for (std::size_t t = 0; t < all.size(); ++t) {
      const std::string what = "table " + std::to_string(t) + (weighted ? ", weighted" : "");
      const host::engine::TableRules& rules = all[t];
      host::engine::TableAccumulator original(rules);
      original.AddRows(rules, b, 0, 3500);
      host::wire::Writer saved;
      original.Save(rules, saved);
      host::engine::TableAccumulator loaded(rules);
      host::wire::Reader in(saved.Buffer());
      loaded.Load(rules, in);
      EXPECT_TRUE(in.AtEnd()) << what;
      host::wire::Writer again;
      loaded.Save(rules, again);
      EXPECT_EQ(again.Buffer(), saved.Buffer()) << what;
      // Both take in the same later cases; their answers stay identical.
      for (host::engine::TableAccumulator* acc : {&original, &loaded}) {
        host::engine::TableAccumulator later(rules);
        later.AddRows(rules, b, 3500, b.rows);
        acc->Merge(rules, std::move(later));
      }
      host::wire::Writer a, c;
      original.Save(rules, a);
      loaded.Save(rules, c);
      EXPECT_EQ(a.Buffer(), c.Buffer()) << what;
      for (std::size_t k = 0; k < rules.scales.size(); ++k) {
        const std::vector<double> ps{0.25, 0.5, 0.75};
        ExpectIdentical(loaded.Scales()[k].Percentiles(ps), original.Scales()[k].Percentiles(ps), what);
        EXPECT_TRUE(Same(loaded.Scales()[k].StdDev(), original.Scales()[k].StdDev())) << what;
      }
      // A cut or altered state is refused, not read out of bounds.
      for (std::size_t cut : {std::size_t{1}, saved.Size() / 2, saved.Size() - 1}) {
        host::engine::TableAccumulator part(rules);
        host::wire::Reader shorter(std::string_view(saved.Buffer()).substr(0, cut));
        EXPECT_THROW(part.Load(rules, shorter), host::wire::Damaged) << what << ", cut at " << cut;
      }
    }
  }
}

}  // namespace

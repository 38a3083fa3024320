// Runs CODEBOOK commands against the active test dataset and turns the
// produced output into short lines that tests compare with expectations:
//   "error: <text>" / "warning: <text>" for messages,
//   "table <title> (<lookup>)" for a table, then its row dimension, one line
//   per group ("  [Group]") and per row ("    Label: Value=x Count=y").
// Cells set on the row itself (no column) show as "=text".
#pragma once

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codebook/procedure.h"
#include "host/command.h"
#include "host/document.h"
#include "support/case_file.h"

namespace runtest {

inline void SummarizeChildren(const nlohmann::json& children, int depth, std::vector<std::string>& lines) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  for (const nlohmann::json& child : children) {
    if (child.contains("group")) {
      lines.push_back(indent + "[" + child["group"].get<std::string>() + "]");
      SummarizeChildren(child["children"], depth + 1, lines);
      continue;
    }
    std::string line = indent + child["category"].get<std::string>() + ":";
    for (const nlohmann::json& cell : child["cells"]) {
      line += " ";
      if (!cell["column"].is_null()) line += cell["column"].get<std::string>();
      line += "=" + cell["text"].get<std::string>();
    }
    lines.push_back(line);
  }
}

// The whole output of the run so far, as JSON.
inline nlohmann::json OutputJson() {
  std::ostringstream out;
  host::Render(host::Output(), host::OutputFormat::Json, out, host::RenderOptions{});
  return nlohmann::json::parse(out.str());
}

inline std::vector<std::string> Summary() {
  std::vector<std::string> lines;
  const nlohmann::json output = OutputJson();
  for (const nlohmann::json& item : output["items"]) {
    if (item["kind"] == "message") {
      lines.push_back(item["severity"].get<std::string>() + ": " + item["text"].get<std::string>());
      continue;
    }
    lines.push_back("table " + item["title"].get<std::string>() + " (" + item["lookup"].get<std::string>() + ")");
    for (const nlohmann::json& dimension : item["dimensions"]) {
      if (dimension["place"] == "row") SummarizeChildren(dimension["children"], 1, lines);
    }
  }
  return lines;
}

// Runs one command ("CODEBOOK ...") on a fresh output and returns the lines.
inline std::vector<std::string> RunCommand(const std::string& command) {
  host::ResetOutput();
  std::vector<host::Command> commands = host::SplitCommands(command, "<test>");
  host::SetCurrentCommand(commands.at(0));
  codebook::RunCodebookCommand();
  return Summary();
}

inline std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Runs every case of tests/unit/cases/<file>: "dataset: name" picks the
// dataset to build, the title is the command and the body the summary.
inline void CheckRuns(const std::string& file, const std::map<std::string, std::function<void()>>& datasets) {
  for (testsupport::TextCase& c : testsupport::ReadCases(file)) {
    SCOPED_TRACE(c.where);
    const std::string dataset = c.Take("dataset");
    ASSERT_EQ(datasets.count(dataset), 1u) << "no dataset \"" << dataset << "\"";
    datasets.at(dataset)();
    EXPECT_EQ(Join(RunCommand(c.title)), c.Text());
  }
}

}  // namespace runtest

// Loading the active dataset: a data package (JSON descriptor + CSV) or a
// bare CSV. Used by the program; the procedure sees the dataset only through
// ProcedureDataSource.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/api.h"

namespace host {

class Dataset;

// A problem with the user's input files. what() is the full message, which
// names the file and the line and column (or the JSON path).
class HOST_API InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How to read a dataset where the files leave it open (the program's options).
struct LoadOptions {
  // The character encoding of text in the data: for CSV input an iconv name
  // such as "latin1" or "cp1252" (empty: UTF-8, or what a data package's
  // resource names); for Stata and SAS files that declare none or the wrong
  // one (empty: the file's own).
  std::string encoding;
  // SAS format catalog (.sas7bcat); empty: NAME.sas7bcat beside the data.
  std::string catalog;
  // A bare CSV file's delimiter; 0: sniffed from the first rows.
  char delimiter = 0;
  // The cell texts that are system-missing in a bare CSV file's otherwise
  // numeric columns (the empty cell always is); unset: NA, N/A, NaN, NULL, ".".
  std::optional<std::vector<std::string>> missing;
  // The data package resource to read, by name; empty: the first tabular one.
  std::string resource;
};

// Reads the dataset: a data package descriptor (and, when the dictionary
// needs it, scans the CSV), a bare CSV file ("-": standard input), or a Stata
// or SAS file (chosen by the file's first bytes). Problems that are not fatal
// (unknown properties, set members that name no variable) are appended to
// warnings; facts worth telling (renamed headers, the resource chosen) to
// notes. Throws InputError; a message listing several problems has one line
// per problem.
HOST_API std::shared_ptr<Dataset> LoadDataset(const std::string& path, const LoadOptions& options,
                                              std::vector<std::string>& warnings, std::vector<std::string>& notes);
// The same; notes are dropped.
HOST_API std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings,
                                              const LoadOptions& options);
// The same with the default options.
HOST_API std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings);

// Every file the dataset was read from (descriptor, data file, catalog).
HOST_API std::vector<std::string> DatasetFiles(const Dataset& dataset);

// The dataset that procedures work on (ProcedureDataSource).
HOST_API void SetActiveDataset(std::shared_ptr<Dataset> dataset);
HOST_API std::shared_ptr<Dataset> ActiveDataset();

// Called now and then during a data pass with the cases and bytes read so
// far and the size of the file; an empty function turns it off.
using ProgressFunction = std::function<void(std::int64_t cases, std::int64_t bytesRead, std::int64_t bytesTotal)>;
HOST_API void SetProgressFunction(ProgressFunction function);

// Threads a data pass may use to read and gather cases (0: every core, the
// default). Results do not depend on it.
HOST_API void SetThreads(int threads);
HOST_API int Threads();

}  // namespace host

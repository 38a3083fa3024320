// Loading the active dataset: a data package (JSON descriptor + CSV) or a
// bare CSV. Used by the program; the procedure sees the dataset only through
// ProcedureDataSource.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// How to read the dataset, from the program's options.
struct LoadOptions {
  std::string encoding;  // text encoding of files that declare none (iconv name); empty: the file's own
  std::string catalog;   // SAS format catalog (.sas7bcat); empty: NAME.sas7bcat beside the data
};

// Reads the dataset: a data package descriptor (and, when the dictionary
// needs it, scans the CSV), a bare CSV file, or a Stata or SAS file (chosen
// by the file's first bytes). Problems that are not fatal (unknown
// properties, set members that name no variable) are appended to warnings.
// Throws InputError.
HOST_API std::shared_ptr<Dataset> LoadDataset(const std::string& path, std::vector<std::string>& warnings,
                                              const LoadOptions& options);
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

}  // namespace host

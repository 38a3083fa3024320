// Stata (.dta) and SAS (.sas7bdat with a .sas7bcat catalog, .xpt transport)
// files, read through ReadStat: the dictionary from the file, and a case
// source that streams the cases in blocks as the CSV source does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class Dataset;

enum class ForeignKind { None, Stata, Sas, Transport, SasCatalog };

// What the first bytes of a file (64 are enough) say it is.
ForeignKind SniffForeign(std::string_view firstBytes);
// The kind of the file at path, by its first bytes. None for other files
// (and for files that cannot be opened, left to the other readers' messages).
// Throws InputError when the extension promises a Stata or SAS file that the
// bytes deny (a CSV file named .dta), and for a SAS format catalog.
ForeignKind SniffForeignFile(const std::string& path, std::string_view extension);
// What an extension (".dta", any case) promises.
ForeignKind ForeignKindOfExtension(std::string_view extension);
// "a Stata data file (.dta)" and so on.
std::string ForeignKindText(ForeignKind kind);
// Every kind of dataset the program reads, for messages.
std::string ReadableDatasetsText();

struct ForeignOptions {
  std::string encoding;  // of files that declare none (or declare it wrongly); empty: the file's own
  std::string catalog;   // SAS value labels; empty: NAME.sas7bcat beside the data, when there
  std::string member;    // the dataset of a transport file to read, by name or number; empty: the first
  // Under a descriptor: the resource's name, which reads the transport file's
  // dataset of that name when it holds one (else the first, with a warning).
  std::optional<std::string> resourceName;
};

// Reads the dictionary of a Stata or SAS file (a look at the cases only when
// a display format or an unbounded string width depends on them) and gives
// the dataset a case source over the file. Throws InputError.
std::shared_ptr<Dataset> LoadForeign(const std::string& path, ForeignKind kind, const ForeignOptions& options,
                                     std::vector<std::string>& warnings);

// True when the dataset's cases come from a Stata or SAS file.
bool IsForeignDataset(const Dataset& dataset);

// Hands the dataset's weight and split variables (set after loading, by a
// descriptor on top of the file) to its case source.
void UpdateForeignWeighting(Dataset& dataset);

}  // namespace host

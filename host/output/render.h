// The renderers of the output document, one per output format.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "host/document.h"
#include "host/output/model.h"

namespace host {

// Passes text on to `target` with every byte sequence that is not UTF-8
// written as U+FFFD, one for each maximal invalid subsequence, as the JSON
// writer does. Texts in a report are UTF-8 but for names from the file
// system (a file or folder named in another encoding): a page or a Markdown
// file holding such bytes is not text to the tools that read it. A sequence
// that a write cuts in two waits for the next write; Finish() ends it.
class ValidUtf8Buffer : public std::streambuf {
 public:
  explicit ValidUtf8Buffer(std::streambuf* target) : fTarget(target) {}

  // Writes out what still waits for the rest of its sequence (which will
  // not come, so as U+FFFD); false when a write to the target failed.
  bool Finish();

 protected:
  std::streamsize xsputn(const char* data, std::streamsize n) override;
  int_type overflow(int_type ch) override;
  int sync() override;

 private:
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

  bool Put(std::string_view text);
  void Take(std::string_view piece);

  std::streambuf* fTarget;
  std::string fPending;
  bool fOk = true;
};

void RenderJson(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderText(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderHtml(const OutputDocument& document, std::ostream& out, const RenderOptions& options);
void RenderMarkdown(const OutputDocument& document, std::ostream& out, const RenderOptions& options);

}  // namespace host

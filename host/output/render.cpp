// Render(): picks the renderer for the format asked for.
#include "host/output/render.h"

#include <streambuf>
#include <string>
#include <string_view>

#include "host/common/text.h"

namespace host {

bool ValidUtf8Buffer::Finish() {
  const bool ok = fPending.empty() || Put(kReplacement);
  fPending.clear();
  return ok && fOk;
}

std::streamsize ValidUtf8Buffer::xsputn(const char* data, std::streamsize n) {
  Take(std::string_view(data, static_cast<std::size_t>(n)));
  return fOk ? n : 0;
}

ValidUtf8Buffer::int_type ValidUtf8Buffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  Take(std::string_view(&c, 1));
  return fOk ? ch : traits_type::eof();
}

int ValidUtf8Buffer::sync() { return fTarget->pubsync(); }

bool ValidUtf8Buffer::Put(std::string_view text) {
  fOk = fOk && fTarget->sputn(text.data(), static_cast<std::streamsize>(text.size())) ==
                   static_cast<std::streamsize>(text.size());
  return fOk;
}

void ValidUtf8Buffer::Take(std::string_view piece) {
  std::size_t bad = 0;
  if (fPending.empty() && ValidUtf8(piece, bad)) {
    Put(piece);
    return;
  }
  std::string text = fPending + std::string(piece);
  fPending.clear();
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    bool cut = false;
    const std::size_t length = Utf8SequenceAt(text, i, bad, cut);
    if (length > 0) {
      out.append(text, i, length);
      i += length;
    } else if (cut) {
      fPending = text.substr(i);
      break;
    } else {
      out += kReplacement;
      i += bad;
    }
  }
  Put(out);
}

void Render(const OutputDocument& document, OutputFormat format, std::ostream& out, const RenderOptions& options) {
  if (format == OutputFormat::Json) {
    RenderJson(document, out, options);  // writes such bytes as U+FFFD itself, while it escapes
    return;
  }
  ValidUtf8Buffer valid(out.rdbuf());
  std::ostream filtered(&valid);
  switch (format) {
    case OutputFormat::Html:
      RenderHtml(document, filtered, options);
      break;
    case OutputFormat::Markdown:
      RenderMarkdown(document, filtered, options);
      break;
    case OutputFormat::Text:
    default:
      RenderText(document, filtered, options);
      break;
  }
  filtered.flush();
  if (!valid.Finish() || !filtered) out.setstate(std::ios::badbit);
}

}  // namespace host

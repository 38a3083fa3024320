// Render(): picks the renderer for the format asked for.
#include "host/output/render.h"

#include <streambuf>
#include <string>
#include <string_view>

#include "host/common/text.h"

namespace host {

namespace {

// The length of the well-formed UTF-8 sequence at text[i]; 0 when there is
// none, with `bad` the length of the maximal invalid subsequence there, or
// with `cut` set when the bytes are the start of a sequence that the end of
// the text cuts off.
std::size_t SequenceAt(std::string_view text, std::size_t i, std::size_t& bad, bool& cut) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) {
      cut = true;
      bad = k;
      return 0;
    }
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

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
    const std::size_t length = SequenceAt(text, i, bad, cut);
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

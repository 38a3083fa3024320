// How the display formats and date values of Stata and SAS files become the
// host's: pure functions, shared by the reader and its tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/quvo.h"

namespace host::foreign {

// How a numeric value of the file becomes the host's value.
enum class Convert : std::uint8_t {
  None,             // as stored
  StataDays,        // %td: days since 1960-01-01
  StataMillis,      // %tc: milliseconds since 1960-01-01 00:00
  StataLeapMillis,  // %tC: the same, counting the leap seconds inserted since then
  StataMonths,      // %tm: months since 1960m1
  StataQuarters,    // %tq: quarters since 1960q1
  StataWeeks,       // %tw: weeks since 1960w1 (52 weeks a year, the last one longer)
  SasDays,          // DATE, MMDDYY: days since 1960-01-01
  SasSeconds,       // DATETIME: seconds since 1960-01-01 00:00
};

// A host format for a file's format text, with the conversion its values need.
struct MappedFormat {
  QUVO_Format format{8, FormatType::F, 2};
  Convert convert = Convert::None;
  // The decimals come from the data: 0 when every value is whole, else the
  // fewest (up to 6) that show every value (Stata's %g, SAS's BEST).
  bool decimalsFromData = false;
};

// Stata display formats: %w.df, %w.dg, %w.de (a trailing "c" for commas, a
// leading "-" or "0" and a decimal comma, %w,df, allowed), %ws, and the date
// formats %td (or the old %d), %tc, %tC, %tm, %tq, %tw, %ty with any display
// details after them.
// stringWidth: the variable's width, 0 for numbers.
MappedFormat MapStataFormat(std::string_view text, int stringWidth);

// SAS formats as the file gives them: "w.d", "BESTw.", "DATEw.", "DATETIMEw.d",
// "TIMEw.d", "MMDDYYw.", "$w.", "COMMAw.d", "DOLLARw.d" (the final point
// optional, as in transport files). Others: F8.2, or A(width) for strings.
MappedFormat MapSasFormat(std::string_view text, int stringWidth);

// The name of a SAS format without its width and decimals ("SEXFMT5." ->
// "SEXFMT", "$YESNO." -> "$YESNO"), in upper case: how a variable names the
// catalog entry that labels its values.
std::string SasFormatName(std::string_view text);

// A file value converted to the host's (seconds since 1582-10-14 for dates).
double ConvertValue(Convert convert, double value);

// A transport file's number whose fraction is zero is 0 whatever its sign
// and exponent (writers put -0 as 0x80 and 0 with an exponent); ReadStat
// hands such a number on as a NaN holding the first byte, as the format's
// missing values are held in memory. True for those NaNs.
bool IsTransportZero(double value);

// The decimals (0 to 6) that show a value stored as a double (or as a float
// when isFloat) exactly as the shortest text that reads back to it.
int DecimalsOf(double value, bool isFloat);

// Text as UTF-8: valid UTF-8 is kept; every byte that begins no UTF-8
// character is read as Windows-1252, the code page files without a declared
// encoding were usually written in; but UTF-8 cut inside its last character
// loses that character.
std::string TextAsUtf8(std::string_view text);
// A label as UTF-8, as TextAsUtf8; but a label that fills its field of
// `fieldWidth` bytes and ends inside a UTF-8 character was cut there by its
// writer (a transport file's 40 bytes), and loses that character also when
// the text before it is ASCII (unless the cut is one byte that Windows-1252
// reads as a small letter, such as "é").
std::string LabelAsUtf8(std::string_view text, std::size_t fieldWidth);
// Where UTF-8 text cut to at most `width` bytes ends: at the start of a
// character, so that no character is split.
std::size_t CutPoint(std::string_view text, std::size_t width);
// Text that ReadStat decoded as ISO-8859-1, back as the bytes of the file
// (every character of such text is below U+0100).
std::string Latin1Bytes(std::string_view text);
// Text as it came from a parse: as the file's bytes when the parse decoded
// it as ISO-8859-1 (viaLatin1), else as it stands.
inline std::string_view FileText(std::string_view text, bool viaLatin1, std::string& buffer) {
  if (!viaLatin1 ||
      std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return text;
  }
  buffer = Latin1Bytes(text);
  return buffer;
}

}  // namespace host::foreign

// The pre-scan of a CSV file: one quick pass at load time that finds what the
// descriptor leaves open (types, string widths) and counts the cases.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "host/data/cells.h"
#include "host/data/csv_reader.h"

namespace host {

struct ScanColumn {
  // In: what to find, and the texts that stand for "no value".
  bool inferType = false;
  bool measureWidth = false;
  std::vector<std::string> missingTexts;  // trimmed; "" included when empty cells are missing
  bool allowDecimalComma = false;         // numbers may be written "1,5"
  bool countCodes = false;                // find whether the numbers are few whole codes
  int widthLimit = 0;                     // when measuring: a wider value is an error at its cell (0: none)

  // Out.
  CellKind kind = CellKind::Number;  // when inferType
  int maxBytes = 0;                  // widest value (trailing blanks trimmed)
  int decimals = 0;                  // numbers: digits after the point, fitted
  int intDigits = 1;                 // numbers: digits before the point, sign included
  int digits = 1;                    // numbers: the most digits one is written with (a bound)
  double smallest = 0.0;             // numbers: the smallest magnitude other than 0 (0: none)
  bool decimalComma = false;         // inferred numbers are written with a decimal comma
  // countCodes: the numbers are all whole and have at most kMaxCodes distinct
  // values (and there is at least one).
  bool fewCodes = false;
  // countCodes: the missing texts (other than "") met in the column, in the
  // order first met.
  std::vector<std::string> missingSeen;
  // Numbers: whole numbers written with more digits than a double keeps
  // (9007199254740993 reads as 9007199254740992): how many, and the first.
  std::int64_t inexactWholes = 0;
  std::string inexactExample;
  // Numbers of 12 digits or more written as a spreadsheet shows them in its
  // General format, six significant digits at most ("1.23457E+15"): how
  // many, and the first.
  std::int64_t sheetRounded = 0;
  std::string sheetRoundedExample;
  // A column of numbers that one cell far down made text: that cell's text
  // and line, and the rows read before it (0: none such).
  std::int64_t numberRowsBeforeText = 0;
  std::int64_t firstTextLine = 0;
  std::string firstText;
  // A column whose only cells that are not numbers are a few texts that
  // look like "no value" ("n/a", "-", "#N/A"): those texts with their
  // counts, in the order first met (empty: not such a column), and the
  // number of cells that are numbers.
  std::vector<std::pair<std::string, std::int64_t>> noValueTexts;
  std::int64_t numberCells = 0;
  // Numbers: whole numbers written with leading zeros ("007", as codes and
  // identifiers are): how many, and the first.
  std::int64_t leadingZeros = 0;
  std::string leadingZeroExample;
  // Numbers read with a point in a file that may write decimal commas: how
  // many have one to three digits, the point and three digits ("1.234",
  // which there is more likely 1234), the first, and whether any number
  // has a point otherwise ("1.5").
  std::int64_t pointThousands = 0;
  std::string pointThousandsExample;
  bool otherPoints = false;
  // The same the other way round, in a column read with decimal commas:
  // how many numbers have a comma and three digits after it ("1,234", as a
  // spreadsheet in English writes 1234 into a tab-separated file), the
  // first, and whether any has another comma ("2,5", "0,125").
  std::int64_t commaThousands = 0;
  std::string commaThousandsExample;
  bool otherCommas = false;
  // A number with a decimal point ("1.5", not "1.234"): the column's texts
  // written with a decimal comma then have no one field.
  bool pointDecimals = false;
  // Date-times written with a UTC offset other than zero ("...-04:00"):
  // how many, and the first.
  std::int64_t zoneOffsets = 0;
  std::string zoneExample;
  // A column of ISO 8601 dates (or date-times) but for values whose day is
  // past the end of their month ("2021-02-29"), which leave it text: how
  // many (0: not such a column), the first and its line.
  std::int64_t datesOfNoDay = 0;
  std::string dateOfNoDay;
  std::int64_t dateOfNoDayLine = 0;
  // A column of times of day but for values written with a UTC offset other
  // than zero ("10:30:00+02:00"), which leave it text: how many (0: not such
  // a column), and the first.
  std::int64_t timeOffsets = 0;
  std::string timeOffsetExample;
  // A column of dates of which some are written in ISO 8601 and others in
  // another shape ("2024-03-01" beside "03/01/2024", as rows typed by hand
  // join rows exported by a program), which no one pattern reads: whether it
  // is followed (0: not yet; 1: every value so far is such a date; -1: not
  // such a column), the ISO ones (how many, the first) and the others (how
  // many, the first and its line).
  int dateMix = 0;
  std::int64_t isoDates = 0;
  std::string isoDateExample;
  std::int64_t otherDates = 0;
  std::string otherDateExample;
  std::int64_t otherDateLine = 0;
  char otherDateSeparator = 0;
  // A text column whose values are all written in one shape that a
  // descriptor can declare as numbers, dates or booleans ("1,234", "12%",
  // "$1,200.00", "12/31/2020", "TRUE"): the TextShape bits still possible
  // (0: none), the first such value and the dates' separator.
  unsigned textShapes = 0;
  std::string shapeExample;
  char dateSeparator = 0;
  // Up to three texts that look like "no value" (":", "n/a") beside such
  // numbers: the field that reads the numbers names them as missing.
  std::vector<std::string> shapeNoValueTexts;
};

// The shapes a text value may take that a descriptor can declare.
enum TextShape : unsigned {
  kGroupedNumber = 1u,  // "1,234.5" (in a file with decimal commas "1.234,5")
  kPercent = 2u,        // "12%", "7.5 %"
  kCurrency = 4u,       // "$1,200.00", "-£3", "12,50 €"
  kMonthFirst = 8u,     // "12/31/2020"
  kDayFirst = 16u,      // "31.12.2020"
  kTrueFalse = 32u,     // "TRUE", "false", "True"
  kMonthName = 64u,     // "31dec2020" (Stata), "31DEC2020" (SAS), "31-Dec-2020"
  // Two-digit years after a slash, as spreadsheets show and save dates in
  // some regions ("12/31/20"); not after a point or a dash, where "1.2.20"
  // is more likely a version or a section number.
  kMonthFirstShort = 128u,  // "12/31/20"
  kDayFirstShort = 256u,    // "31/12/20"
  // A date's time of day, as spreadsheets save date-times: every value
  // shows one of these (a column that mixes them has no one pattern).
  kDateOnly = 512u,         // "31/12/2020"
  kClockMinutes = 1024u,    // "31/12/2020 13:45"
  kClockSeconds = 2048u,    // "31/12/2020 13:45:10"
  kClockMinutesPm = 4096u,  // "12/31/2020 1:45 PM"
  kClockSecondsPm = 8192u,  // "12/31/2020 1:45:10 PM"
  // Groups of digits apart by spaces, as spreadsheets in French and other
  // regions write them (a no-break space, U+00A0 or U+202F, more often).
  kSpaceGroupedNumber = 16384u,  // "1 234,5"
  // Negative amounts in parentheses, as accounts write them; set also for
  // every value a field with "bareNumber": false reads ("1,234", "$5",
  // "12%"), so that a column mixing them is named once.
  kParenthesized = 32768u,  // "(1,234.50)", "($5)"
  // The year first, as East Asian sources and some databases write dates:
  // slashes or points, or dashes without the leading zeros ISO 8601 asks.
  kYearFirst = 65536u,  // "2020/01/05", "2020.1.5", "2020-1-5"
  // A number, a blank and one to three small letters: a statistics office's
  // flags on its figures ("8979.9 p" provisional, "12 e" estimated), or a unit.
  kFlaggedNumber = 131072u,  // "8979.9 p", "123 bep"
  // A time of day after a colon, as SAS writes its DATETIME values (after a
  // date with the month's name only).
  kClockColonSeconds = 262144u,  // "31DEC2020:13:45:10"
  // The month's name and a two-digit year, as Oracle shows dates by default
  // and SAS's DATE7 format writes them.
  kMonthNameShort = 524288u,  // "05-JAN-20", "05JAN20"
  // A year and a month, ISO 8601's calendar month, which Table Schema reads
  // as a yearmonth and which is no date of a day.
  kYearMonth = 1048576u,  // "2020-01"
  // Numbers written with the other decimal character than the file's own
  // reading takes: a decimal comma in a file whose delimiter is a comma, in
  // quotes ("1.234,56", "2,5", as sheets in German save them), or a decimal
  // point with commas between thousands where the delimiter is a tab or a
  // semicolon ("1,234.56", as a sheet in English saves tab-separated text);
  // and such numbers with a percent or currency sign or in parentheses
  // ("12,5 %", "$1,200.00"). Set for every value a field with that decimal
  // character reads, so the bits left name the field.
  kOtherDecimal = 2097152u,
  kOtherDecimalSigned = 4194304u,
  // The same with spaces between groups of digits ("1 234,56", U+00A0 and
  // U+202F too), set also for those without any separator ("2,5").
  kOtherDecimalSpaced = 16777216u,
  // True and false as spreadsheets in other languages save them, one bit
  // per language from here on, in the order of kLocalBooleans.
  kLocalTrueFalse = 33554432u,
  // Beside those bits: every such word so far in capitals, as spreadsheets
  // save them ("WAHR"); without it some were typed ("wahr", "Wahr").
  kLocalInCapitals = 2147483648u,
  // A number whose sign is the minus sign of typeset text (U+2212), as
  // tables copied from reports and some spreadsheets' exports write it.
  kMinusSign = 8388608u,  // "−5", "−0,25"
};
// The words of kLocalTrueFalse, as a sheet in German, French, Spanish,
// Italian, Portuguese or Dutch writes them ("FALSO" is three languages').
struct LocalBooleans {
  const char* yes;
  const char* no;
};
inline constexpr LocalBooleans kLocalBooleans[] = {{"WAHR", "FALSCH"}, {"VRAI", "FAUX"},        {"VERDADERO", "FALSO"},
                                                   {"VERO", "FALSO"},  {"VERDADEIRO", "FALSO"}, {"WAAR", "ONWAAR"}};
constexpr unsigned kLocalTrueFalses = kLocalTrueFalse * ((1u << std::size(kLocalBooleans)) - 1u);
constexpr unsigned kClocks =
    kDateOnly | kClockMinutes | kClockSeconds | kClockMinutesPm | kClockSecondsPm | kClockColonSeconds;
// Any shape of a date written with numbers only.
constexpr unsigned kNumericDates = kMonthFirst | kDayFirst | kMonthFirstShort | kDayFirstShort;
// The dates' separator of "31dec2020", which has none.
constexpr char kNoDateSeparator = '\1';
// The shapes a plain number fits too ("1200" beside "1,234" or "12%").
constexpr unsigned kNumberShapes = kGroupedNumber | kPercent | kCurrency | kSpaceGroupedNumber | kParenthesized |
                                   kFlaggedNumber | kOtherDecimal | kOtherDecimalSigned | kOtherDecimalSpaced |
                                   kMinusSign;
constexpr unsigned kOtherDecimals = kOtherDecimal | kOtherDecimalSigned | kOtherDecimalSpaced;

// The shapes `text` (trimmed, not a plain number) fits; decimalComma: the
// file writes decimal commas; separator: the dates' separator seen so far
// (0: none yet; set by a date).
unsigned TextShapesOf(std::string_view text, bool decimalComma, char& separator);

// Whether a text that is not a number looks like a way of writing "no
// value": a spreadsheet's error value (#N/A, #DIV/0!), a dash or question
// mark, or a word such as n/a, na, null, none or missing in any case.
bool LooksLikeNoValue(std::string_view text);

// Whether a text writes an infinite number as tools do: R's "Inf" and
// "-Inf", pandas' "inf", "Infinity" (any case, an optional sign), or a
// number beyond a double's range ("1e400"), which those tools read as one.
// No statistic takes one, so such a cell is no number here.
bool InfinityText(std::string_view text);

// Rows of numbers before a column's first text after which that text is
// pointed out: a column that is text from its first rows is plainly text.
constexpr std::int64_t kNumbersBeforeTextNoted = 100;

// Whole numbers with at most this many distinct values are codes (nominal).
constexpr std::size_t kMaxCodes = 24;

struct ScanResult {
  std::int64_t cases = 0;
  // Rows that repeat the header (files joined one after another): how
  // many, the first one's line, and whether a byte order mark began it.
  std::int64_t repeatedHeaders = 0;
  std::int64_t firstRepeatedHeader = 0;
  bool repeatedHeaderMark = false;
  // Rows of only empty cells at the end of the data (a spreadsheet writes
  // the rows it once formatted so): how many, and the first one's line.
  std::int64_t emptyRowsAtEnd = 0;
  std::int64_t firstEmptyRowAtEnd = 0;
  // The header names only its first column and a row within the first ten,
  // below rows with nothing after their first cell, is texts in every
  // column: a title (and notes), padded with delimiters, above the header.
  // That row's line, and how many rows stand between it and the header.
  bool titleAboveHeader = false;
  std::int64_t titleHeaderLine = 0;
  std::int64_t titleNotesRows = 0;
  // The first row is text in every column and the second holds numbers in
  // these columns: a row of labels below the header, as statistics offices'
  // downloads have it. Its line; the columns.
  std::int64_t labelRowLine = 0;
  std::vector<std::size_t> labelRowColumns;
  // Rows headed "Total" (or "Insgesamt", "Ensemble", ...) with a number
  // beside: the last one's case, line and first cell. A table copied from a
  // report keeps its totals row, which a codebook counts as one more case.
  std::int64_t totalRowCase = 0;
  std::int64_t totalRowLine = 0;
  std::string totalRowText;
  // Rows at the end whose only value is a sentence in the first column
  // ("Source: ...", "Notes:", "1. Figures may not add up"): the notes below
  // a sheet's table, which a spreadsheet pads with delimiters to the table's
  // width. How many, the first one's text; and how many rows, empty ones
  // included, follow the last row of data, and the first one's line.
  std::int64_t notesAtEnd = 0;
  std::string firstNoteText;
  std::int64_t rowsAfterData = 0;
  std::int64_t firstRowAfterData = 0;
};

// One file to scan, from its first case; `expected` (optional) is the file
// as first opened.
struct ScanFile {
  std::string path;
  std::string displayName;
  std::int64_t dataOffset = 0;
  std::int64_t dataLine = 1;
  const FileStamp* expected = nullptr;
};

// Reads every record of the files (the parts of one resource, in order, each
// from its dataOffset) and fills the columns' findings over all of them.
// Throws InputError for ragged rows, broken quotes, invalid UTF-8, values
// over a column's width limit and a file that is no longer as `expected`.
// `header` (optional): the header row as read, trimmed, for rows that repeat it.
ScanResult ScanCsv(const std::vector<ScanFile>& files, const CsvDialect& dialect, const std::vector<std::string>& names,
                   std::vector<ScanColumn>& columns, const std::vector<std::string>* header = nullptr);
// One file.
ScanResult ScanCsv(const std::string& path, const std::string& displayName, const CsvDialect& dialect,
                   std::int64_t dataOffset, std::int64_t dataLine, const std::vector<std::string>& names,
                   std::vector<ScanColumn>& columns, const FileStamp* expected = nullptr);

// The print format of an inferred numeric column: F with the width and
// decimals the data need (integers F8.0), or E (`scientific`) when a value
// other than 0 would show as 0 in any F format that fits.
void FittedNumberFormat(const ScanColumn& column, int& width, int& decimals, bool& scientific);

}  // namespace host

// The quick descriptor reader against the JSON library's own parser: where
// it reads a text, it must give the library's value exactly (types of
// numbers, member order, the bits of a double); where it declines, the
// library's parser reads the text and reports its problems. What the
// library refuses (or the loader reports, such as a repeated key) must be
// declined; what the library reads may be read or declined, never read to
// another value.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/data/json_load.h"

namespace {

using host::Json;

// Equal values of the same types throughout (the library's own == takes an
// unsigned 1 for a signed 1, and 0.0 for -0.0).
bool Same(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::object: {
      if (a.size() != b.size()) return false;
      auto j = b.begin();
      for (auto i = a.begin(); i != a.end(); ++i, ++j) {
        if (i.key() != j.key() || !Same(i.value(), j.value())) return false;
      }
      return true;
    }
    case Json::value_t::array:
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!Same(a[i], b[i])) return false;
      }
      return true;
    case Json::value_t::number_float: {
      const double x = a.get<double>(), y = b.get<double>();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    default:
      return a == b;
  }
}

// Read quickly: the library's value, exactly.
void ExpectRead(const std::string& text) {
  Json quick;
  ASSERT_TRUE(host::QuickParseJson(text, quick)) << text;
  EXPECT_TRUE(Same(quick, Json::parse(text)))
      << text << "\nquick:   " << quick.dump() << "\nlibrary: " << Json::parse(text).dump();
}

void ExpectDeclined(const std::string& text) {
  Json quick;
  EXPECT_FALSE(host::QuickParseJson(text, quick)) << text;
}

void ExpectSameOrDeclined(const std::string& text) {
  Json quick;
  if (!host::QuickParseJson(text, quick)) return;
  EXPECT_TRUE(Same(quick, Json::parse(text)))
      << text << "\nquick:   " << quick.dump() << "\nlibrary: " << Json::parse(text).dump();
}

TEST(QuickJson, ReadsWhatTheLibraryReadsToTheSameValue) {
  for (const char* text : {
           R"({"a": 1, "b": [true, false, null], "c": {"d": "e"}})",
           " \t\r\n{ } ",
           "[]",
           "[ [ ], { }, [1, [2, [3]]] ]",
           R"({"z": 1, "a": 2, "m": 3})",  // the text's order, not sorted
           "0",
           "7",
           "-7",
           "123456789012345678",
           "-123456789012345678",
           "0.5",
           "-0.0",
           "1e3",
           "1E+3",
           "2.5e-3",
           "1.7976931348623157e308",
           "4.9e-324",
           "0.1",
           "3.14159265358979",
           R"("plain")",
           R"("")",
           R"("quote \" backslash \\ slash \/ \b\f\n\r\t")",
           R"("\u0041\u00e9\u20AC\uffff\u0000 end")",
           "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF\"",
           R"({"fields": [{"name": "v1", "type": "integer", "categories": [{"value": 1, "label": "Yes"}]}]})",
       }) {
    ExpectRead(text);
  }
  // An object with enough members to find repeated keys through a set.
  std::string many = "{";
  for (int i = 0; i < 40; ++i) many += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": " + std::to_string(i);
  ExpectRead(many + "}");
}

TEST(QuickJson, DeclinesErrorsAndNeverTypesANumberOtherwise) {
  // Numbers at the edges of the library's types, and surrogate pairs.
  for (const char* text :
       {"-0", "[-0]", "{\"a\": -0}", "-0.0", "12345678901234567890", "18446744073709551615", "18446744073709551616",
        "-9223372036854775808", "-9223372036854775809", "-1234567890123456789", "1e-999", "-1e-999", "9007199254740993",
        "0.30000000000000004", R"("\ud83d\ude00")", R"("a\u0000b")"}) {
    ExpectSameOrDeclined(text);
  }
  for (const char* text : {
           "",
           "   ",
           "{",
           "[1,]",
           R"({"a": 1,})",
           R"({"a" 1})",
           R"({a: 1})",
           "[1 2]",
           "{} {}",
           "{} x",
           "tru",
           "nul",
           "truex",
           "01",
           "1.",
           ".5",
           "-",
           "+1",
           "1e",
           "1e+",
           "0x10",
           "NaN",
           "[Infinity]",
           R"({"a": 1, "a": 2})",  // a repeated key
           "1e999",
           "-1e999",       // beyond a double
           R"("\udc00")",  // a lone surrogate
           R"("\x")",
           R"("\u12")",
           R"("\u12g4")",
           "\"open",
           "\"tab\tinside\"",
           "\"nul\x01\"",  // control characters
           "\"\xC0\x80\"",
           "\"\xC1\xBF\"",
           "\"\xE0\x80\x80\"",
           "\"\xED\xA0\x80\"",
           "\"\xF0\x80\x80\x80\"",
           "\"\xF4\x90\x80\x80\"",
           "\"\xF5\x80\x80\x80\"",
           "\"\x80\"",
           "\"\xC3\"",
           "\"\xE2\x82\"",
           "\"\xC3\x28\"",
       }) {
    ExpectDeclined(text);
  }
  std::string many = "{";
  for (int i = 0; i < 40; ++i) many += "\"k" + std::to_string(i) + "\": 0, ";
  ExpectDeclined(many + "\"k17\": 1}");
  ExpectDeclined(std::string(100, '[') + std::string(100, ']'));  // deep: the library's limit and message
  ExpectRead(std::string(60, '[') + std::string(60, ']'));
}

// Every descriptor of the repository (examples, test data, fuzzing seeds and
// regressions): read quickly to the library's value, or declined.
TEST(QuickJson, AgreesWithTheLibraryOnTheRepositorysFiles) {
  int read = 0;
  for (const char* folder : {"examples", "tests"}) {
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(CODEBOOK_SOURCE_DIR) + "/" + folder)) {
      if (!entry.is_regular_file() || entry.path().extension() != ".json") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      Json quick;
      if (!host::QuickParseJson(text.str(), quick)) continue;
      ++read;
      Json library;
      ASSERT_NO_THROW(library = Json::parse(text.str())) << entry.path();
      EXPECT_TRUE(Same(quick, library)) << entry.path();
    }
  }
  EXPECT_GT(read, 20);
}

}  // namespace

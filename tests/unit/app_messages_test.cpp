// Messages on standard error show texts from the data, so they must not carry
// anything a terminal acts on; and the output names that stand for open
// descriptors.
#include <gtest/gtest.h>

#include <string>

#include "app/messages.h"
#include "app/output_file.h"

namespace {

TEST(AppMessages, ControlCharactersFromTheDataAreShownEscaped) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain text, with <&> \"quotes\"", "plain text, with <&> \"quotes\""},
      {"title\x1b]0;owned\x07 end", "title\\x1B]0;owned\\x07 end"},  // a terminal title change
      {"clear\x1b[2J", "clear\\x1B[2J"},
      {"tab\tcr\rlf\nnul", "tab\\x09cr\\x0Dlf\nnul"},  // lines stay lines
      {std::string("a\0b", 3), "a\\x00b"},
      {"del\x7f", "del\\x7F"},
      {"csi \xC2\x9B"
       "31m nel\xC2\x85",
       "csi \\u009B31m nel\\u0085"},                                                               // C1 controls
      {"\xE2\x80\xAEtxt.exe\xE2\x80\xAC", "\\u202Etxt.exe\\u202C"},                                // override, pop
      {"\xE2\x81\xA7open", "\\u2067open"},                                                         // isolate left open
      {"\xE2\x80\x8F\xD7\xA9\xD7\x9D", "\\u200F\xD7\xA9\xD7\x9D"},                                 // mark, Hebrew kept
      {"line\xE2\x80\xA8sep", "line\\u2028sep"},                                                   // line separator
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"},  // text kept
      {"bad \xFF\xC3", "bad \\xFF\\xC3"},                                                          // not UTF-8
      {"overlong \xC0\xAF", "overlong \\xC0\\xAF"},
      {"surrogate \xED\xA0\x80", "surrogate \\xED\\xA0\\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(codebook_app::EscapeControls(c.in), c.out) << c.in;
}

TEST(AppMessages, WordsOfMegabytesAreShortened) {
  const std::string word = "\xC3\xA9" + std::string(5000, 'a');  // a two-byte letter first
  EXPECT_EQ(codebook_app::ShortenLongWords("f.cbk, line 1: " + word + " Invalid name."),
            "f.cbk, line 1: \xC3\xA9" + std::string(198, 'a') + "\xE2\x80\xA6 (5002 bytes in all) Invalid name.");
  const std::string cut = std::string(199, 'a') + "\xC3\xA9" + std::string(1000, 'b');  // 200 would split the letter
  EXPECT_EQ(codebook_app::ShortenLongWords(cut), std::string(199, 'a') + "\xE2\x80\xA6 (1201 bytes in all)");
  // A quoted name keeps the quote and colon that close it.
  EXPECT_EQ(codebook_app::ShortenLongWords("cannot write '/" + std::string(2000, 'd') + "': File name too long."),
            "cannot write '/" + std::string(198, 'd') + "\xE2\x80\xA6 (2004 bytes in all)': File name too long.");
  const std::string path(1000, 'p');  // as long as a word may be
  EXPECT_EQ(codebook_app::ShortenLongWords(path + "\n" + path), path + "\n" + path);
}

TEST(AppOutput, NamesOfOpenDescriptors) {
  EXPECT_EQ(codebook_app::DescriptorNamed("-"), 1);
  EXPECT_EQ(codebook_app::DescriptorNamed("/dev/stdout"), 1);
  EXPECT_EQ(codebook_app::DescriptorNamed("/dev/stderr"), 2);
  EXPECT_EQ(codebook_app::DescriptorNamed("/dev/fd/3"), 3);
  EXPECT_EQ(codebook_app::DescriptorNamed("/proc/self/fd/12"), 12);
  for (const char* file : {"out.txt", "--", "/dev/null", "/dev/fd/", "/dev/fd/1x", "/dev/fd/99999999", "./-"}) {
    EXPECT_EQ(codebook_app::DescriptorNamed(file), -1) << file;
  }
}

}  // namespace

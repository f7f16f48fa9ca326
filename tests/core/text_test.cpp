// Tests of the shared text helpers.
#include "core/text.h"

#include <gtest/gtest.h>

namespace halyard {
namespace {

using Pieces = std::vector<std::string>;

TEST(text, split_keeps_empty_pieces_and_gives_one_piece_for_empty_text) {
  EXPECT_EQ(Split("", ","), Pieces{""});
  EXPECT_EQ(Split("a,b,", ","), (Pieces{"a", "b", ""}));
  EXPECT_EQ(Split("x\r\ny\nz\r\n", "\r\n"), (Pieces{"x", "y\nz", ""}));
}

TEST(text, letter_case_helpers_fold_ascii_only) {
  EXPECT_EQ(UpperCase("File Changes:"), "FILE CHANGES:");
  EXPECT_TRUE(EqualsNoCase("Zipped", "ZIPPED"));
  EXPECT_FALSE(EqualsNoCase("ZIPPED ", "ZIPPED"));
  EXPECT_EQ(FindNoCase("Acme Editor - doc", "EDITOR"), 5u);
  EXPECT_EQ(FindNoCase("Acme", "x"), std::string::npos);
  EXPECT_EQ(FindNoCase("Acme", ""), 0u);
}

TEST(text, trim_removes_blanks_only) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\ta\t"), "\ta\t");
}

TEST(text, replace_all_replaces_every_occurrence) {
  EXPECT_EQ(ReplaceAll("a/b/c", "/", "\\"), "a\\b\\c");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
}

TEST(text, html_escaping_covers_text_and_both_quotes) {
  EXPECT_EQ(EscapeHtml("<a href=\"x\" title='y'>&amp;</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
  EXPECT_EQ(EscapeHtml("plain text"), "plain text");
}

TEST(text, control_characters_are_escaped_and_nothing_else) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"plain C:\\dir\\f\xc3\xa9.txt", "plain C:\\dir\\f\xc3\xa9.txt"},
      {"a\x1b[2Jb", "a\\x1b[2Jb"},
      {std::string("\0\t\n\x7f", 4), "\\x00\\x09\\x0a\\x7f"},
      {"\xc2\x9b"
       "31m \xc2\xa0",
       "\\xc2\\x9b"
       "31m \xc2\xa0"},  // C1 CSI; no-break space stays
      {"end\xc2", "end\xc2"},
  };
  for (const auto& [raw, shown] : cases) {
    EXPECT_EQ(EscapeControlCharacters(raw), shown);
    EXPECT_EQ(EscapeControlCharacters(shown), shown);
  }
}

}  // namespace
}  // namespace halyard

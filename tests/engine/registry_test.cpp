// Tests of module Registry: root names, the numeric test, rounding, and how values are stored.
#include "engine/registry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/registry_values.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using testing::Dword;
using testing::kCurrentUser;

const NumberFormat kPointFormat{".", ""};
const NumberFormat kCommaFormat{",", "."};

TEST(registry, root_names_match_in_any_letter_case_but_untrimmed_and_unabbreviated) {
  EXPECT_EQ(RootKeyFromName("HKEY_CLASSES_ROOT"), 0x80000000u);
  EXPECT_EQ(RootKeyFromName("hkey_current_user"), 0x80000001u);
  EXPECT_EQ(RootKeyFromName("Hkey_Local_Machine"), 0x80000002u);
  EXPECT_EQ(RootKeyFromName("HKEY_USERS"), 0x80000003u);
  EXPECT_EQ(RootKeyFromName("HKEY_PERFORMANCE_DATA"), 0x80000004u);
  EXPECT_EQ(RootKeyFromName("HKEY_CURRENT_CONFIG"), 0x80000005u);
  EXPECT_EQ(RootKeyFromName("HKEY_DYN_DATA"), 0x80000006u);
  EXPECT_EQ(RootKeyFromName("HKCU"), 0u);
  EXPECT_EQ(RootKeyFromName(" HKEY_CURRENT_USER"), 0u);
  EXPECT_EQ(RootKeyFromName("HKEY_CURRENT_USER "), 0u);
  EXPECT_EQ(RootKeyFromName(""), 0u);
}

TEST(registry, numeric_texts_and_their_values) {
  const std::pair<const char*, double> numeric[] = {{"42", 42},
                                                    {" 42", 42},
                                                    {"\t42  ", 42},
                                                    {"+7", 7},
                                                    {"-3", -3},
                                                    {"2.5", 2.5},
                                                    {".5", 0.5},
                                                    {"5.", 5},
                                                    {"1e3", 1000},
                                                    {"1E+2", 100},
                                                    {"25e-1", 2.5},
                                                    {"2D1", 20},
                                                    {"&H1F", 31},
                                                    {"&h1f", 31},
                                                    {"&O17", 15},
                                                    {"&o777", 511},
                                                    {" &HFF ", 255},
                                                    {"&HFFFF", 65535},
                                                    {"&HFFFFFFFF", -1},
                                                    {"&H80000000", -2147483648.0},
                                                    {"&O37777777777", -1},
                                                    {"007", 7},
                                                    {"1e-400", 0}};
  for (const auto& [text, expected] : numeric) {
    const auto value = NumericValue(text, kPointFormat);
    ASSERT_TRUE(value) << text;
    EXPECT_DOUBLE_EQ(*value, expected) << text;
  }
  for (const char* text :
       {"",    "   ", "abc", "1x",  "1e",   "1e+", ".",   "+",     "-",  "&H",
        "&HG", "&Q1", "1 2", "- 5", "0x1F", "inf", "nan", "1,000", "5-", "&H-1"}) {
    EXPECT_FALSE(NumericValue(text, kPointFormat)) << text;
  }
  // Wider than 32 bits or far too large: numeric, but out of the 32-bit range.
  for (const char* text : {"&H100000000", "&O40000000000", "1e400", "99999999999999999999"}) {
    const auto value = NumericValue(text, kPointFormat);
    ASSERT_TRUE(value) << text;
    EXPECT_GT(std::fabs(*value), 2147483648.0) << text;
  }
}

TEST(registry, numeric_test_follows_the_locale_separators) {
  EXPECT_DOUBLE_EQ(*NumericValue("2,5", kCommaFormat), 2.5);
  EXPECT_DOUBLE_EQ(*NumericValue("1.234", kCommaFormat), 1234);
  EXPECT_DOUBLE_EQ(*NumericValue("1.234,5", kCommaFormat), 1234.5);
  EXPECT_DOUBLE_EQ(*NumericValue("2.5", kCommaFormat), 25);
  EXPECT_FALSE(NumericValue(".5", kCommaFormat));
  EXPECT_FALSE(NumericValue("1..2", kCommaFormat));
  EXPECT_FALSE(NumericValue("1.", kCommaFormat));
  EXPECT_FALSE(NumericValue("2,5", kPointFormat));
  // This process never set a locale, so it runs in the C locale.
  const NumberFormat current = NumberFormat::Current();
  EXPECT_EQ(current.decimal_separator, ".");
  EXPECT_EQ(current.grouping_separator, "");
}

TEST(registry, fractions_round_half_to_even_within_the_32_bit_range) {
  const std::pair<double, std::int32_t> cases[] = {{2.5, 2},
                                                   {3.5, 4},
                                                   {0.5, 0},
                                                   {1.5, 2},
                                                   {-2.5, -2},
                                                   {-3.5, -4},
                                                   {2.4999, 2},
                                                   {2.5001, 3},
                                                   {-0.4, 0},
                                                   {2147483647.0, 2147483647},
                                                   {2147483647.4, 2147483647},
                                                   {-2147483648.0, INT32_MIN},
                                                   {-2147483648.5, INT32_MIN}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(RoundToLong(value, "x"), expected) << value;
  EXPECT_APP_ERROR(RoundToLong(2147483648.0, "2147483648"), error_number::kOverflow,
                   "Overflow: '2147483648' is outside the 32-bit integer range");
  EXPECT_APP_ERROR_NUMBER(RoundToLong(2147483647.5, "x"), error_number::kOverflow);
  EXPECT_APP_ERROR_NUMBER(RoundToLong(-2147483649.0, "x"), error_number::kOverflow);
  EXPECT_APP_ERROR_NUMBER(RoundToLong(HUGE_VAL, "x"), error_number::kOverflow);
}

class registry_write : public ::testing::Test {
 protected:
  std::optional<RegistryValue> Stored(const std::string& name) const {
    return store.GetValue(kCurrentUser, "Software\\Acme", name);
  }
  void Write(const std::string& name, const std::string& value) {
    WriteRegistryValue(store, kCurrentUser, "Software\\Acme", name, value);
  }

  testing::TempFolder temp;
  RegistryStore store{temp / "registry"};
};

TEST_F(registry_write, numbers_are_stored_as_dwords) {
  Write("blank", " 42");
  Write("hex", "&H1F");
  Write("all_bits", "&HFFFFFFFF");
  Write("half_down", "2.5");
  Write("half_up", "3.5");
  Write("negative", "-5");
  EXPECT_EQ(Stored("blank"), (RegistryValue{"blank", kRegDword, Dword(42)}));
  EXPECT_EQ(Stored("hex")->data, Dword(31));
  EXPECT_EQ(Stored("all_bits")->data, Dword(0xFFFFFFFFu));
  EXPECT_EQ(Stored("half_down")->data, Dword(2));
  EXPECT_EQ(Stored("half_up")->data, Dword(4));
  EXPECT_EQ(Stored("negative")->data, Dword(static_cast<std::uint32_t>(-5)));
}

TEST_F(registry_write, texts_are_stored_trimmed_with_one_nul) {
  Write("text", "  hello world  ");
  Write("empty", "");
  Write("", "default");
  Write("odd", std::string("a\0b\n", 4));
  EXPECT_EQ(Stored("text"), (RegistryValue{"text", kRegSz, std::string("hello world\0", 12)}));
  EXPECT_EQ(Stored("empty")->data, std::string("\0", 1));
  EXPECT_EQ(Stored("")->data, std::string("default\0", 8));
  EXPECT_EQ(Stored("odd")->data, std::string("a\0b\n\0", 5));
}

TEST_F(registry_write, a_number_out_of_range_raises_overflow_and_writes_nothing) {
  EXPECT_APP_ERROR_NUMBER(Write("big", "2147483648"), error_number::kOverflow);
  EXPECT_APP_ERROR_NUMBER(Write("wide", "&H100000000"), error_number::kOverflow);
  EXPECT_FALSE(store.KeyExists(kCurrentUser, "Software\\Acme"));
  Write("largest", "2147483647");
  EXPECT_EQ(Stored("largest")->data, Dword(2147483647u));
}

TEST_F(registry_write, an_invalid_root_writes_nothing_and_reports_nothing) {
  WriteRegistryValue(store, 0, "Software\\Acme", "x", "1");
  WriteRegistryValue(store, kCurrentUser, "Software\\\\Acme", "x", "1");
  EXPECT_FALSE(std::filesystem::exists(temp / "registry/HKEY_CURRENT_USER.reg"));
}

TEST_F(registry_write, keys_are_described_for_people) {
  Write("n", "42");
  Write("", "hi");
  EXPECT_EQ(DescribeRegistryKey(store, "hkey_current_user\\Software\\Acme"),
            "[HKEY_CURRENT_USER\\Software\\Acme]\n\"n\"  REG_DWORD  0x0000002a (42)\n"
            "@  REG_SZ  \"hi\"\n");
  EXPECT_EQ(DescribeRegistryKey(store, "HKEY_CURRENT_USER"), "[HKEY_CURRENT_USER]\n  [Software]\n");
  EXPECT_FALSE(DescribeRegistryKey(store, "HKEY_CURRENT_USER\\Software\\Other"));
  EXPECT_APP_ERROR(DescribeRegistryKey(store, "HKCU\\Software"), error_number::kInvalidArgument,
                   "Unknown registry root 'HKCU'");
}

}  // namespace
}  // namespace halyard

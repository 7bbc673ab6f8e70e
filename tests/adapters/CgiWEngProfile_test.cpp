#include "adapters/CgiWEngProfile.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

constexpr char kDefault[] = "(default)";

struct LookupCase {
  const char* name;
  std::string profile;
  const char* section;
  std::string key;
  std::string expected;  // kDefault: not found
};

std::string LongLine(char fill, size_t count) { return std::string(count, fill); }

// "=" at byte index `at` of a key line in [S]: the key is K followed by
// filler up to the "=".
std::string EqualsAt(size_t at) { return "[S]\r\nK" + LongLine('k', at - 1) + "=v\r\n"; }

std::vector<LookupCase> LookupCases() {
  return {
      {"plain_key", "[CGI]\r\nRequest Method=GET\r\n", "CGI", "Request Method", "GET"},
      {"blanks_before_key_and_around_value", "[CGI]\r\n  \t Request Method =  GET \r\n", "CGI",
       "REQUEST METHOD", "GET"},
      {"lookup_in_any_case_and_trimmed", "[CGI]\r\nRequest Method=GET\r\n", " cgi ",
       " request method ", "GET"},
      {"section_header_trimmed_and_upper_cased", "[ form literal ]] \r\nA=1\r\n", "FORM LITERAL",
       "a", "1"},
      {"value_keeps_inner_equals", "[S]\r\nq=a=b=c\r\n", "S", "Q", "a=b=c"},
      {"empty_value_counts_as_found", "[S]\r\nK=\r\n", "S", "K", ""},
      {"missing_key", "[S]\r\nK=1\r\n", "S", "L", kDefault},
      {"missing_section", "[S]\r\nK=1\r\n", "T", "K", kDefault},
      {"key_before_any_section", "K=1\r\n[S]\r\n", "S", "K", kDefault},
      {"empty_key_ignored", "[S]\r\n =1\r\n", "S", "", kDefault},
      {"line_without_equals_ignored", "[S]\r\nno equals here\r\n", "S", "NO EQUALS HERE", kDefault},
      {"equals_at_index_31_is_a_key_line", EqualsAt(31), "S", "K" + LongLine('k', 30), "v"},
      {"equals_at_index_32_is_ignored", EqualsAt(32), "S", "K" + LongLine('k', 31), kDefault},
      {"repeated_key_replaces", "[S]\r\nK=1\r\nk=2\r\n", "S", "K", "2"},
      {"repeated_section_takes_the_keys_that_follow", "[A]\r\nX=1\r\n[B]\r\nY=2\r\n[a]\r\nZ=3\r\n",
       "A", "Z", "3"},
      {"last_line_needs_no_cr", "[S]\r\nK=last", "S", "K", "last"},
      {"cr_without_lf_ends_the_line", "[S]\rA=1\rB=2", "S", "B", "2"},
      {"blank_lines_between", "[S]\r\n\r\n\r\n   \r\nK=1\r\n", "S", "K", "1"},
      {"zero_byte_ends_the_line", std::string("[S]\r\nK=ab\0cd\r\nL=2\r\n", 19), "S", "K", "ab"},
      {"line_beyond_4096_bytes_is_cut", "[S]\r\nK=" + LongLine('x', 5000) + "\r\nL=2\r\n", "S", "K",
       LongLine('x', 4094)},
      {"line_after_an_overlong_line", "[S]\r\nK=" + LongLine('x', 5000) + "=y\r\nL=2\r\n", "S", "L",
       "2"},
      {"line_of_one_megabyte", "[S]\r\nK=" + LongLine('z', 1 << 20) + "\r\nL=2\r\n", "S", "K",
       LongLine('z', 4094)},
      {"binary_bytes",
       "[S]\r\nK=\x01\xff\x7f"
       "a\r\n\xfe\xfd=3\r\n",
       "S", "\xfe\xfd", "3"},
  };
}

class ProfileLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookup, FindsTheStoredValue) {
  const LookupCase& c = GetParam();
  const TCGIIniFile profile = TCGIIniFile::FromText(c.profile);
  EXPECT_EQ(profile.ReadProfileValue(c.section, c.key, kDefault), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileLookup, ::testing::ValuesIn(LookupCases()),
                         [](const ::testing::TestParamInfo<LookupCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(ProfileReader, SectionsInOrderOfFirstAppearanceWithSortedKeys) {
  const TCGIIniFile profile = TCGIIniFile::FromText(
      "[CGI]\r\nQuery String=a=1\r\nRequest Method=POST\r\n"
      "[Form Literal]\r\nname_1=b\r\nName=a\r\nAge=3\r\n"
      "[cgi]\r\nContent Type=text/plain\r\n");
  EXPECT_EQ(profile.SectionNames(), (std::vector<std::string>{"CGI", "FORM LITERAL"}));
  std::vector<std::string> keys;
  for (const auto& [key, value] : profile.KeyList(0)) keys.push_back(key + "=" + value);
  EXPECT_EQ(keys, (std::vector<std::string>{"CONTENT TYPE=text/plain", "QUERY STRING=a=1",
                                            "REQUEST METHOD=POST"}));
  keys.clear();
  for (const auto& [key, value] : profile.KeyList(1)) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"AGE", "NAME", "NAME_1"}));
}

TEST(ProfileReader, SectionsBeyondTheFiftyFirstAreIgnoredWithTheirKeys) {
  std::string text;
  for (int i = 1; i <= 100; ++i) {
    text += "[S" + std::to_string(i) + "]\r\nK=" + std::to_string(i) + "\r\n";
  }
  text += "[S1]\r\nLATE=yes\r\n";
  const TCGIIniFile profile = TCGIIniFile::FromText(text);
  ASSERT_EQ(profile.SectionNames().size(), TCGIIniFile::kMaxSections);
  EXPECT_EQ(profile.SectionNames().back(), "S51");
  EXPECT_EQ(profile.ReadProfileValue("S51", "K", kDefault), "51");
  EXPECT_EQ(profile.ReadProfileValue("S52", "K", kDefault), kDefault);
  // A known section named again after the limit takes keys again.
  EXPECT_EQ(profile.ReadProfileValue("S1", "LATE", kDefault), "yes");
}

TEST(ProfileReader, ReadsAFileInBlocksExactlyAsText) {
  // Lines that straddle the reader's block edges: a CR at the end of one
  // block and its LF at the start of the next must still be one line end.
  std::string text = "[Big]\r\n";
  for (int i = 0; text.size() < 100000; ++i) {
    text +=
        "Key" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i % 50), 'v') + "\r\n";
  }
  ScopedTempDir dir;
  ASSERT_TRUE(WriteWholeFile(dir.path() + "/profile.ini", text));
  const TCGIIniFile from_file(dir.path() + "/profile.ini");
  const TCGIIniFile from_text = TCGIIniFile::FromText(text);
  ASSERT_EQ(from_file.SectionNames(), from_text.SectionNames());
  EXPECT_EQ(from_file.KeyList(0), from_text.KeyList(0));
  EXPECT_EQ(from_file.ReadProfileValue("Big", "Key49", kDefault), std::string(49, 'v'));
}

TEST(ProfileReader, UnreadableProfilesThrowNamingThePath) {
  ScopedTempDir dir;
  for (const std::string& path : {dir.path() + "/missing.ini", dir.path()}) {
    SCOPED_TRACE(path);
    try {
      TCGIIniFile profile(path);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace vantora

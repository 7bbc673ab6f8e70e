#include "engine/HttpEngFields.h"

#include <gtest/gtest.h>

#include "engine/HttpEng.h"

namespace vantora {
namespace {

TEST(HttpEngFieldsTest, FindField) {
  struct Case {
    const char* data;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"a=1&A=2&b=3", "a", "1\r\n2"},
      {"a=1&A=2&b=3", " B ", "3"},
      {"name=+x%41+", "name", "xA"},
      {"a=b=c", "a", "b=c"},
      {"+Na%6De+=v", "NAME", "v"},
      {"x&a=1", "a", "<default>"},
      {"x&a=1&a=2", "a", "2"},
      {"x&a=1", "x&a", "1"},
      {"a=", "a", ""},
      {"a=1&&a=2&", "a", "1"},  // "&a" is the second name
      {"sel=1&other=x&sel=2&sel=3", "sel", "1\r\n2\r\n3"},
      {"", "a", "<default>"},
      {"a", "a", "<default>"},
      {"ab=1", "a", "<default>"},
      {"a%26b=1", "a&b", "1"},
      {"t=%0D%0Aline%09", "t", "line"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindField(c.data, c.key, "<default>"), c.expected) << c.data << " / " << c.key;
  }
}

TEST(HttpEngFieldsTest, ListFieldNames) {
  struct Case {
    const char* data;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a=1&b=2&a=3", {"a", "b", "a"}},
      {"a=1&a=2&b=3", {"a", "b"}},
      {"x&a=1&=2", {"a", ""}},
      {"f%20g=1&f+g=2", {"f g"}},
      {"", {}},
      {"novalue&&", {}},
      {"upload=x&upload_FILENAME=%2Ftmp%2Fy&", {"upload", "upload_FILENAME"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListFieldNames(c.data), c.expected) << c.data;
    EXPECT_EQ(THttpEngine::ListFieldNames(c.data), c.expected) << c.data;
  }
}

}  // namespace
}  // namespace vantora

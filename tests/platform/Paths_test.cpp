#include "platform/Paths.h"

#include <gtest/gtest.h>

namespace vantora {
namespace {

TEST(Paths, ExtensionRuleUsesOnlyTheFileNamePart) {
  struct Case {
    const char* path;
    const char* ext;
    const char* result;
  } cases[] = {
      {"/srv/cgi-bin/vantora", ".stat1", "/srv/cgi-bin/vantora.stat1"},
      {"/srv/cgi-bin/vantora.cgi", ".stat1", "/srv/cgi-bin/vantora.stat1"},
      {"/srv/cgi.d/vantora", ".htm", "/srv/cgi.d/vantora.htm"},
      {"/srv/a.b.cgi", ".de", "/srv/a.b.de"},
      {"vantora", ".Log", "vantora.Log"},
  };
  for (const Case& c : cases) EXPECT_EQ(ChangeFileExt(c.path, c.ext), c.result) << c.path;
  EXPECT_EQ(ExtractFileExt("/srv/cgi.d/vantora"), "");
  EXPECT_EQ(ExtractFileExt("/srv/vantora.cgi"), ".cgi");
}

TEST(Paths, DirectoryAndNameParts) {
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFileDir("/a/b/c.txt"), "/a/b");
  EXPECT_EQ(ExtractFileDir("/c.txt"), "/");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("c.txt"), "c.txt");
  EXPECT_TRUE(IsAbsolutePath("/x"));
  EXPECT_FALSE(IsAbsolutePath("x/y"));
  EXPECT_FALSE(IsAbsolutePath(""));
}

TEST(Paths, ModuleFileNameIsTheRunningExecutable) {
  const std::string path = ModuleFileName();
  EXPECT_TRUE(IsAbsolutePath(path));
  EXPECT_EQ(ExtractFileName(path), "vantora_tests");
  SetModuleFileNameForTesting("/tmp/x/vantora.cgi");
  EXPECT_EQ(ProgramFolder(), "/tmp/x");
  SetModuleFileNameForTesting("");
  EXPECT_EQ(ModuleFileName(), path);
}

}  // namespace
}  // namespace vantora

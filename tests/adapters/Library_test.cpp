// libvantora.so as a host sees it: the symbols it offers and needs, the
// libraries it pulls in, and a host written in C that loads it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vantora {
namespace {

// The entry points of the library, by adapter.
const std::set<std::string> kEntryPoints = {
    // NSAPI
    "vantora_service",
    // ISAPI
    "GetExtensionVersion",
    "HttpExtensionProc",
    "TerminateExtension",
    "GetFilterVersion",
    "HttpFilterProc",
};

struct CommandResult {
  int status = -1;
  std::string output;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The dynamic symbols of the library, as "nm -D" names them (with their
// version after '@' where they have one).
std::vector<std::string> DynamicSymbols(const std::string& which) {
  const CommandResult nm = RunCommand("nm -D " + which + " '" VANTORA_LIBRARY "'");
  EXPECT_EQ(nm.status, 0) << nm.output;
  std::vector<std::string> names;
  for (const std::string& line : Lines(nm.output)) {
    // "0000000000012340 T Name" or "                 U name@VERSION"
    const size_t last_blank = line.rfind(' ');
    names.push_back(line.substr(last_blank + 1));
  }
  return names;
}

TEST(Library, ExportsOnlyItsEntryPoints) {
  std::set<std::string> exported;
  for (const std::string& name : DynamicSymbols("--defined-only")) exported.insert(name);
  EXPECT_EQ(exported, kEntryPoints);
}

TEST(Library, NeedsNoCxxRuntimeFromTheHost) {
#ifdef VANTORA_SANITIZED
  GTEST_SKIP() << "a sanitizer build links the system's C++ runtime, whose allocations and "
                  "static guards the sanitizer must see";
#endif
  for (const std::string& name : DynamicSymbols("--undefined-only")) {
    for (const char* runtime : {"@GLIBCXX", "@CXXABI", "@GCC_"}) {
      EXPECT_EQ(name.find(runtime), std::string::npos) << name;
    }
  }
  const CommandResult elf = RunCommand("readelf -d --wide '" VANTORA_LIBRARY "'");
  ASSERT_EQ(elf.status, 0) << elf.output;
  // The C library and the two image libraries, and a sanitizer's runtime in
  // a sanitizer build; never the C++ runtime or the shared libgcc.
  const std::vector<std::string> allowed = {"libc.so",     "libm.so",        "ld-linux",
                                            "libjpeg.so",  "libfreetype.so", "libasan.so",
                                            "libubsan.so", "libtsan.so"};
  int needed = 0;
  for (const std::string& line : Lines(elf.output)) {
    if (line.find("(NEEDED)") == std::string::npos) continue;
    ++needed;
    const size_t open = line.find('[');
    const std::string library = line.substr(open + 1, line.find(']') - open - 1);
    bool ok = false;
    for (const std::string& prefix : allowed) ok = ok || library.rfind(prefix, 0) == 0;
    EXPECT_TRUE(ok) << library;
  }
  EXPECT_GT(needed, 0);
}

TEST(Library, LoadsIntoAHostWrittenInC) {
#ifdef VANTORA_SANITIZED
  GTEST_SKIP() << "a sanitizer build of the library takes the sanitizer's C++ runtime from its "
                  "host, which a plain C host does not carry";
#endif
  std::string command = "'" VANTORA_C_HOST "' '" VANTORA_LIBRARY "'";
  for (const std::string& name : kEntryPoints) command += " " + name;
  const CommandResult host = RunCommand(command);
  EXPECT_EQ(host.status, 0) << host.output;
  // The host called GetExtensionVersion: the whole program started.
  EXPECT_EQ(host.output, "loaded CORVEX 3.04.01\n");
  // The host itself carries no C++ runtime.
  const CommandResult elf = RunCommand("readelf -d --wide '" VANTORA_C_HOST "'");
  EXPECT_EQ(elf.output.find("libstdc++"), std::string::npos);
}

}  // namespace
}  // namespace vantora

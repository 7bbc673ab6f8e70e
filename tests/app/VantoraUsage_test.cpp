#include "app/VantoraUsage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::set<std::string> FilesUnder(const std::string& dir) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    files.insert(entry.path().string());
  }
  return files;
}

TEST(VantoraUsage, NamesTheProgramsFilesAndItsLog) {
  ScopedEnv log_dir("CGI_LOG_DIR", std::nullopt);
  const std::string text = UsageText("/srv/cgi-bin/vantora.cgi");
  for (const char* part :
       {"Usage: vantora.cgi [PROFILE | START_SERVER | --fastcgi ADDRESS [--threads N] | --help | "
        "--version]\n",
        "  vantora.cgi PROFILE ", "  vantora.cgi START_SERVER", "in /srv/cgi-bin:\n",
        "  vantora.stat1  ", "  vantora.stat2  ", "  vantora.htm  ",
        "Its log: /srv/cgi-bin/Log/vantora.Log\n"}) {
    EXPECT_TRUE(Contains(text, part)) << part << "\n" << text;
  }
  ScopedEnv other_log_dir("CGI_LOG_DIR", "/var/log/vantora");
  EXPECT_TRUE(
      Contains(UsageText("/srv/cgi-bin/vantora.cgi"), "Its log: /var/log/vantora/vantora.Log\n"));
  EXPECT_EQ(VersionText("/srv/cgi-bin/vantora.cgi"),
            std::string("vantora.cgi ") + kVantoraVersion + "\n");
}

struct ShellCase {
  const char* name;
  const char* word;
  const char* server_software;  // null: unset
  const char* cgi_version;
  const char* output_begins;
  bool creates_files;
};

// The real program, as a person runs it in a shell (and as web servers may
// pass the same words).
TEST(VantoraUsage, HelpAndVersionAsAPersonRunsThem) {
  const std::string version = std::string("vantora ") + kVantoraVersion + "\n";
  const ShellCase cases[] = {
      {"help", "--help", nullptr, nullptr,
       "Usage: vantora [PROFILE | START_SERVER | --fastcgi ADDRESS [--threads N] | --help | "
       "--version]\n\n",
       false},
      {"version", "--version", nullptr, nullptr, version.c_str(), false},
      {"help_under_a_windows_cgi_server", "--help", "WinServer/1", "CGI/1.3a (Win)",
       "Usage: vantora ", false},
      // A standard CGI server passes words of the query as parameters: the
      // request is served as usual.
      {"standard_cgi_serves_the_request", "--help", "lighttpd/1.4.69", nullptr,
       "HTTP/1.1 200 OK\r\n", true},
  };
  for (const ShellCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const char* name :
         {"CGI_LOG_DIR", "QUERY_STRING", "CONTENT_LENGTH", "REQUEST_METHOD", "REMOTE_ADDR"}) {
      env.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
    env.push_back(std::make_unique<ScopedEnv>(
        "SERVER_SOFTWARE",
        c.server_software ? std::optional<std::string>(c.server_software) : std::nullopt));
    env.push_back(std::make_unique<ScopedEnv>(
        "CGI_VERSION", c.cgi_version ? std::optional<std::string>(c.cgi_version) : std::nullopt));
    ScopedTempDir bin;
    ScopedTempDir out;
    const std::string program = bin.path() + "/vantora";
    std::filesystem::copy_file(VANTORA_PROGRAM, program);
    ASSERT_TRUE(WriteWholeFile(bin.path() + "/vantora.htm", "<html>page</html>"));
    const std::set<std::string> before = FilesUnder(bin.path());

    ASSERT_EQ(RunProgram({program, c.word}, out.path() + "/stdout", out.path() + "/stderr"), 0);
    const std::string output = ReadWholeFile(out.path() + "/stdout");
    EXPECT_EQ(output.rfind(c.output_begins, 0), 0u) << output;
    EXPECT_EQ(ReadWholeFile(out.path() + "/stderr"), "");
    EXPECT_EQ(FilesUnder(bin.path()) != before, c.creates_files);
    EXPECT_FALSE(std::filesystem::exists(bin.path() + "/" + c.word));
  }
}

}  // namespace
}  // namespace vantora

#include "adapters/CgiWEng.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

// Sends what the process writes to standard error into a file while it lives.
class CapturedStandardError {
 public:
  explicit CapturedStandardError(const std::string& path) : path_(path) {
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~CapturedStandardError() { Restore(); }
  // Ends the capture and returns what was written.
  std::string Text() {
    Restore();
    return ReadWholeFile(path_);
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

struct Section {
  std::string name;
  std::vector<std::string> lines;  // "key=value"
};

// A profile as a Windows CGI web server writes it: CR LF lines.
std::string ProfileText(const std::vector<Section>& sections) {
  std::string text;
  for (const Section& section : sections) {
    text += "[" + section.name + "]\r\n";
    for (const std::string& line : section.lines) text += line + "\r\n";
    text += "\r\n";
  }
  return text;
}

class CgiWinEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"SERVER_SOFTWARE", "CGI_VERSION"}) Env(name, std::nullopt);
    Env("CGI_LOG_DIR", dir_.path() + "/log");
    SetIsLibrary(false);
  }
  void TearDown() override {
    CgiWinState() = CgiWinThreadState();
    SetParams({});
  }
  ~CgiWinEngineTest() override {
    while (!env_.empty()) env_.pop_back();
  }

  void Env(const std::string& name, std::optional<std::string> value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  }

  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

  // A profile whose [System] names the output file "out" (unless the test
  // gives [System] itself), written to "profile.ini".
  void WriteProfile(std::vector<Section> sections) {
    bool has_system = false;
    for (const Section& section : sections) has_system |= section.name == "System";
    if (!has_system) sections.push_back({"System", {"Output File=" + Path("out")}});
    ASSERT_TRUE(WriteWholeFile(Path("profile.ini"), ProfileText(sections)));
  }

  // Starts the unit with the profile's path as the only parameter and
  // constructs the adapter, which serves the request; handler runs inside
  // the request.
  std::unique_ptr<TCGIWinEngine> Serve(std::function<void(TCGIWinEngine&)> handler = {}) {
    SetParams({Path("profile.ini")});
    StartCgiWinUnit();
    auto record = [this](const char* event) {
      return [this, event](TComponent*) { events_.push_back(event); };
    };
    TExecRequestEvent on_exec = [this, handler](TComponent* sender) {
      events_.push_back("exec");
      if (handler) handler(*static_cast<TCGIWinEngine*>(sender));
    };
    return std::make_unique<TCGIWinEngine>(
        nullptr, false, TCGIMode::NormalMode, false, false, false, dir_.path(), "DefaultSession",
        10000, true, "text/html", true, nullptr, record("last"), on_exec, record("first"));
  }

  std::string Output() const { return ReadWholeFile(Path("out")); }
  std::string Log() const { return ReadWholeFile(Path("log/vantora_tests.Log")); }

  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::vector<std::string> events_;
};

TEST_F(CgiWinEngineTest, AnswerGoesToTheEmptiedOutputFileWithoutStatusLine) {
  WriteProfile({{"CGI", {"Request Method=GET", "Query String=a=1"}}});
  // An earlier, longer answer in the same file must not show behind this one.
  ASSERT_TRUE(WriteWholeFile(Path("out"), std::string(1000, 'X')));
  auto engine = Serve([](TCGIWinEngine& engine) {
    engine.SendHeader("Set-Cookie", "a=1");
    engine.SendText("<p>hi</p>");
  });
  EXPECT_EQ(Output(), "Set-Cookie:a=1\r\ncontent-type:text/html\r\n\r\n<p>hi</p>");
  EXPECT_EQ(events_, (std::vector<std::string>{"first", "exec", "last"}));
  EXPECT_TRUE(engine->IsActiveAdapter());
  EXPECT_EQ(TCGIWinEngine::ProcessEngine(), engine.get());
}

TEST_F(CgiWinEngineTest, BufferedAnswerCarriesItsLengthAndImagesTheirType) {
  WriteProfile({{"CGI", {"Request Method=GET"}}});
  SetParams({Path("profile.ini")});
  StartCgiWinUnit();
  const unsigned char gif[] = {'G', 'I', 'F', '8', '9', 'a', 0, 1};
  TCGIWinEngine engine(
      nullptr, false, TCGIMode::NormalMode, false, true, false, "", "S", 10000, true, "text/html",
      true, nullptr, nullptr,
      [&](TComponent* sender) {
        CurrentRequestState().image_kind = TImageKind::Gif;
        static_cast<THttpEngine*>(sender)->SendData(gif, sizeof gif);
      },
      nullptr);
  EXPECT_EQ(Output(), "content-type:image/gif\r\ncontent-length:8\r\n\r\n" +
                          std::string(reinterpret_cast<const char*>(gif), sizeof gif));
}

struct VariableCase {
  const char* name;
  const char* variable;
  const char* expected;
};

TEST_F(CgiWinEngineTest, VariablesComeFromTheFourSectionsInOrder) {
  WriteProfile({{"CGI",
                 {"Request Method=GET", "Executable Path=/cgi-bin/vantora",
                  "Remote Address=10.1.2.3", "User Agent=Agent/1", "Referer=http://site.example/",
                  "Content Length=12x", "Shared=from CGI"}},
                {"System", {"Output File=" + Path("out"), "GMT Offset=3600", "Shared=from System"}},
                {"Extra Headers", {"Cookie=Vantora=NOSTAT", "Host=site.example"}},
                {"Accept", {"image/gif=Yes"}}});
  const VariableCase cases[] = {
      {"underscores", "Request_Method", "GET"},
      {"blanks", "REQUEST METHOD", "GET"},
      {"lower case", "request method", "GET"},
      {"script name reads the executable path", "SCRIPT_NAME", "/cgi-bin/vantora"},
      {"from System", "GMT_OFFSET", "3600"},
      {"from Extra Headers", "Host", "site.example"},
      {"from Accept", "image/gif", "Yes"},
      {"CGI comes first", "Shared", "from CGI"},
      {"missing", "Path Info", ""},
  };
  std::vector<std::string> values;
  std::string address, agent, referer, cookie, script;
  int length = -1;
  auto engine = Serve([&](TCGIWinEngine& engine) {
    for (const VariableCase& c : cases) values.push_back(engine.GetVariable(c.variable));
    address = engine.GetRemoteAddr();
    agent = engine.GetUserAgent();
    referer = engine.GetReferer();
    cookie = engine.GetCookie();
    script = engine.GetScriptName();
    length = engine.GetContentLength();
  });
  ASSERT_EQ(values.size(), std::size(cases));
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i], cases[i].expected) << cases[i].name;
  }
  EXPECT_EQ(address, "10.1.2.3");
  EXPECT_EQ(agent, "Agent/1");
  EXPECT_EQ(referer, "http://site.example/");
  EXPECT_EQ(cookie, "Vantora=NOSTAT");
  EXPECT_EQ(script, "/cgi-bin/vantora");
  EXPECT_EQ(length, 0);  // not a number
}

struct FieldCase {
  const char* name;
  std::vector<Section> sections;
  const char* field;
  std::string expected;  // "(default)" when absent
  std::vector<std::string> names;
};

std::vector<FieldCase> FieldCases() {
  return {
      {"get_reads_only_the_query",
       {{"CGI", {"Request Method=GET", "Query String=a=1&b=%41+&a=2"}},
        {"Form Literal", {"a=form"}}},
       "A",
       "1\r\n2",
       {"a", "b", "a"}},
      {"post_form_literal",
       {{"CGI", {"Request Method=POST", "Query String=a=query"}},
        {"Form Literal", {"a=literal value", "b=2"}}},
       "a",
       "literal value",
       {"A", "B"}},
      {"post_repeated_field_joined",
       {{"CGI", {"Request Method=POST"}},
        {"Form Literal", {"name=one", "name_1=two", "name_2=three", "other=x"}}},
       "Name",
       "one\r\ntwo\r\nthree",
       {"NAME", "OTHER"}},
      {"post_form_file",
       {{"CGI", {"Request Method=POST"}}, {"Form File", {"upload=[/tmp/u1.tmp] report.pdf"}}},
       "upload",
       "[/tmp/u1.tmp] report.pdf",
       {"UPLOAD"}},
      {"post_missing_field",
       {{"CGI", {"Request Method=POST"}}, {"Form Literal", {"a=1"}}},
       "b",
       "(default)",
       {"A"}},
      {"repeat_suffix_without_its_field_is_a_name",
       {{"CGI", {"Request Method=POST"}}, {"Form Literal", {"item_1=x", "size_a=y"}}},
       "item_1",
       "x",
       {"ITEM_1", "SIZE_A"}},
  };
}

class CgiWinFields : public CgiWinEngineTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(CgiWinFields, FieldAndNames) {
  const FieldCase& c = GetParam();
  WriteProfile(c.sections);
  std::string value;
  std::vector<std::string> names;
  auto engine = Serve([&](TCGIWinEngine& engine) {
    value = GetFormField(c.field, "(default)");
    names = engine.GetFieldNames();
  });
  EXPECT_EQ(value, c.expected);
  EXPECT_EQ(names, c.names);
}

INSTANTIATE_TEST_SUITE_P(Cases, CgiWinFields, ::testing::ValuesIn(FieldCases()),
                         [](const ::testing::TestParamInfo<FieldCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(CgiWinEngineTest, FormExternalValuesAreReadFromTheirFiles) {
  // A long value with a zero byte after the announced part, and one read in
  // several pieces.
  const std::string long_value(5000, 'w');
  ASSERT_TRUE(WriteWholeFile(Path("ext1"), std::string("first value\0tail", 16)));
  ASSERT_TRUE(WriteWholeFile(Path("ext2"), long_value + "beyond the length"));
  ASSERT_TRUE(WriteWholeFile(Path("ext3"), "second"));
  WriteProfile({{"CGI", {"Request Method=POST"}},
                {"Form Literal", {"comment=short"}},
                {"Form External",
                 {"comment_1=" + Path("ext1") + " 16", "big=" + Path("ext2") + " 5000",
                  "comment_2=" + Path("ext3") + " 100"}}});
  std::string comment, big;
  std::vector<std::string> names;
  auto engine = Serve([&](TCGIWinEngine& engine) {
    comment = engine.GetField("comment", "");
    big = engine.GetField("big", "");
    names = engine.GetFieldNames();
  });
  EXPECT_EQ(comment, "short\r\nfirst value\r\nsecond");
  EXPECT_EQ(big, long_value);
  EXPECT_EQ(names, (std::vector<std::string>{"COMMENT", "BIG"}));
  EXPECT_EQ(Log(), "");
}

TEST_F(CgiWinEngineTest, BrokenFormExternalEntriesLeaveTheFieldAbsentAndSaySo) {
  ASSERT_TRUE(WriteWholeFile(Path("ext"), "value"));
  WriteProfile({{"CGI", {"Request Method=POST"}},
                {"Form External",
                 {"missing=" + Path("nothing-here") + " 5", "nonnumeric=" + Path("ext") + " 5x",
                  "nolength=" + Path("ext"), "directory=" + dir_.path() + " 5",
                  "negative=" + Path("ext") + " -1"}}});
  std::vector<std::string> values;
  CapturedStandardError error(Path("err"));
  auto engine = Serve([&](TCGIWinEngine& engine) {
    for (const char* name : {"missing", "nonnumeric", "nolength", "directory", "negative"}) {
      values.push_back(engine.GetField(name, "(absent)"));
    }
  });
  const std::string errors = error.Text();
  EXPECT_EQ(values, std::vector<std::string>(5, "(absent)"));
  for (const char* name : {"MISSING", "NONNUMERIC", "NOLENGTH", "DIRECTORY", "NEGATIVE"}) {
    const std::string line = "Profile " + Path("profile.ini") + ": form field " + name;
    EXPECT_NE(Log().find(line), std::string::npos) << Log();
    EXPECT_NE(errors.find(line), std::string::npos) << errors;
  }
}

TEST_F(CgiWinEngineTest, MultipartBodyIsReadFromTheContentFile) {
  const std::string body =
      "------Boundary7\r\n"
      "Content-Disposition: form-data; name=\"RA\"\r\n\r\n"
      "127.0.0.1\r\n"
      "------Boundary7\r\n"
      "Content-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n"
      "abc\r\n"
      "------Boundary7--\r\n";
  ASSERT_TRUE(WriteWholeFile(Path("content"), body));
  WriteProfile({{"CGI",
                 {"Request Method=POST", "Content Type=multipart/form-data; boundary=----Boundary7",
                  "Content Length=" + std::to_string(body.size())}},
                {"System", {"Output File=" + Path("out"), "Content File=" + Path("content")}},
                {"Form Literal", {"RA=from the profile"}}});
  std::string address, upload_path, upload;
  std::vector<std::string> names;
  auto engine = Serve([&](TCGIWinEngine& engine) {
    address = engine.GetField("ra", "");
    upload_path = engine.GetField("up_FILENAME", "");
    upload = ReadWholeFile(upload_path);
    names = engine.GetFieldNames();
  });
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(upload, "abc");
  EXPECT_FALSE(FileExists(upload_path));  // removed at the end of the request
  EXPECT_EQ(names, (std::vector<std::string>{"RA", "up_CONTENT_TYPE", "up", "up_FILENAME"}));
}

struct BrokenCase {
  const char* name;
  std::string profile;  // empty: no profile file at all
  const char* logged;   // a part of the log line, after the profile's path
  bool handler_runs;
};

TEST_F(CgiWinEngineTest, BrokenRequestsEndCleanlyAndSaySoInLogAndStandardError) {
  const BrokenCase cases[] = {
      {"missing profile", "", "Unhandled exception : Cannot open profile ", false},
      {"profile without output file", "[CGI]\r\nRequest Method=GET\r\n", " names no output file",
       false},
      {"missing content file",
       "[CGI]\r\nRequest Method=POST\r\nContent Type=multipart/form-data; boundary=x\r\n"
       "Content Length=10\r\n[System]\r\nOutput File=" +
           Path("out") + "\r\nContent File=" + Path("no-content") + "\r\n",
       "Unhandled exception : Cannot open content file ", false},
      {"output file in a missing folder",
       "[CGI]\r\nRequest Method=GET\r\n[System]\r\nOutput File=" + Path("none/out") + "\r\n",
       "Unhandled exception : Cannot open output file ", false},
      {"binary profile", std::string("\x00\xff[\x01\x02\r\n==\xfe\r\n\x00\x00", 14),
       " names no output file", false},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path("profile.ini"));
    std::filesystem::remove_all(Path("log"));
    if (!c.profile.empty()) {
      ASSERT_TRUE(WriteWholeFile(Path("profile.ini"), c.profile));
    }
    events_.clear();
    CapturedStandardError error(Path("err"));
    auto engine = Serve();
    const std::string errors = error.Text();
    EXPECT_EQ(events_.empty(), !c.handler_runs);
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    EXPECT_NE(Log().find(Path("profile.ini")), std::string::npos) << Log();
    EXPECT_NE(errors.find(c.logged), std::string::npos) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;  // one line
    engine.reset();
    TearDown();
  }
}

TEST_F(CgiWinEngineTest, ProcessesThatAreNotWindowsCgiLeaveTheAdapterIdle) {
  WriteProfile({{"CGI", {"Request Method=GET"}}});
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  auto engine = Serve();
  EXPECT_TRUE(events_.empty());
  EXPECT_FALSE(engine->IsActiveAdapter());
  EXPECT_FALSE(FileExists(Path("out")));
  engine.reset();
  // CGI_VERSION naming Windows CGI, in any case, makes it one.
  Env("CGI_VERSION", "CGI/1.3a (wIn)");
  engine = Serve();
  EXPECT_TRUE(engine->IsActiveAdapter());
  EXPECT_EQ(events_, (std::vector<std::string>{"first", "exec", "last"}));
}

}  // namespace
}  // namespace vantora

// The standard variant's relay files: the request file a client writes and
// the server reads back, and the answer a client passes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "adapters/CgiSEng.h"
#include "platform/Paths.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

class StdRelayFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetModuleFileNameForTesting(dir_.path() + "/vantora");
    base_ = ServerBasePath(true);
  }
  void TearDown() override {
    CgiStdState() = CgiStdThreadState();
    SetModuleFileNameForTesting("");
  }

  // Binds the thread's input to a file holding the given bytes.
  void Input(const std::string& bytes) {
    const std::string path = dir_.path() + "/stdin";
    WriteWholeFile(path, bytes);
    CgiStdState().input = std::make_unique<THandleStream>(open(path.c_str(), O_RDONLY), true);
  }

  std::string Copied(const std::string& answer) {
    const std::string in = dir_.path() + "/answer";
    const std::string out = dir_.path() + "/copied";
    WriteWholeFile(in, answer);
    {
      THandleStream output(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), true);
      EXPECT_TRUE(CopyAnswer(in, output));
    }
    return ReadWholeFile(out);
  }

  ScopedTempDir dir_;
  std::string base_;
};

TEST_F(StdRelayFilesTest, RequestFileHoldsTheEnvironmentTheMarkerAndExactlyTheBody) {
  ScopedEnv query("QUERY_STRING", "a=1&b=2");
  ScopedEnv length("CONTENT_LENGTH", "5");
  Input("12345 and more than announced");
  const std::string path = WriteRequestFile(base_);
  ASSERT_FALSE(path.empty());
  const std::string name = ExtractFileName(path);
  ASSERT_EQ(name.size(), std::string("vantora_C_0000_REQ").size());
  EXPECT_EQ(name.substr(0, 10), "vantora_C_");
  EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 10), 14u);
  EXPECT_EQ(CgiStdState().request_file_name, path);

  const std::string bytes = ReadWholeFile(path);
  EXPECT_NE(bytes.find("QUERY_STRING=a=1&b=2\r\n"), std::string::npos);
  const std::string tail = "\r\nKOBALT_CGI_DEBUG=true\r\n\r\n12345";
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the request holds the visitor's cookies";
}

TEST_F(StdRelayFilesTest, AnIdInUseIsNeverTakenOver) {
  // A quarter of all ids are taken: every draw that clashes draws again (of
  // 40 draws, some clash but for a chance of about 1e-5).
  std::set<std::string> taken;
  for (int id = 0; id < 65535; id += 4) {
    char name[32];
    std::snprintf(name, sizeof name, "_C_%04X_REQ", id);
    WriteWholeFile(base_ + name, "");
    taken.insert(base_ + name);
  }
  ScopedEnv length("CONTENT_LENGTH", std::nullopt);
  for (int i = 0; i < 40; ++i) {
    const std::string path = WriteRequestFile(base_);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(taken.count(path), 0u) << path;
    taken.insert(path);
  }
  for (int id = 0; id < 65535; id += 4) {
    char name[32];
    std::snprintf(name, sizeof name, "_C_%04X_REQ", id);
    ASSERT_EQ(ReadWholeFile(base_ + name), "") << name;
  }
}

TEST_F(StdRelayFilesTest, TheServerReadsTheVariablesAndStandsAtTheBody) {
  const std::string path = base_ + "_C_00AA_REQ";
  // Line ends of either kind, and a run of three CR/LF bytes, end one line.
  WriteWholeFile(path,
                 "REQUEST_METHOD=POST\r\nCONTENT_LENGTH=11\n\rHTTP_COOKIE=a=b; c=d\r\n\r"
                 "EMPTY=\r\nKOBALT_CGI_DEBUG=true\r\n\r\nbody\r\n\r\nrest");
  OpenRequestFile(path);
  CgiStdThreadState& state = CgiStdState();
  ASSERT_TRUE(state.variables);
  EXPECT_EQ(*state.variables,
            (std::vector<std::string>{"REQUEST_METHOD=POST", "CONTENT_LENGTH=11",
                                      "HTTP_COOKIE=a=b; c=d", "EMPTY=", "KOBALT_CGI_DEBUG=true"}));
  char body[32] = {};
  ASSERT_TRUE(state.input);
  EXPECT_EQ(state.input->ReadFully(body, sizeof body), 12);
  EXPECT_EQ(std::string(body), "body\r\n\r\nrest");
  ASSERT_TRUE(state.output);
  state.output->Write("answer", 6);
  state.output.reset();
  EXPECT_EQ(ReadWholeFile(base_ + "_C_00AA_OUT"), "answer");

  // The relayed variables answer GetVariable, the environment does not.
  ScopedEnv method("REQUEST_METHOD", "GET");
  TCGIStdEngine engine(nullptr, false, TCGIMode::NormalMode, false, false, false, "", "", 10000,
                       true, "text/html", true, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(engine.GetVariable("Request Method"), "POST");
  EXPECT_EQ(engine.GetVariable("Empty"), "");
  EXPECT_EQ(engine.GetVariable("SERVER_NAME"), "");
}

TEST_F(StdRelayFilesTest, ALoneLineEndJoinsTwoPiecesAndLongLinesCrossTheReads) {
  const std::string path = base_ + "_C_00AB_REQ";
  const std::string long_value(9000, 'v');  // longer than one read of the file
  WriteWholeFile(path, "A=1\nB=2\r\nLONG=" + long_value + "\r\nKOBALT_CGI_DEBUG=true\r\n\r\nbody");
  OpenRequestFile(path);
  CgiStdThreadState& state = CgiStdState();
  ASSERT_TRUE(state.variables);
  EXPECT_EQ(*state.variables,
            (std::vector<std::string>{"A=1B=2", "LONG=" + long_value, "KOBALT_CGI_DEBUG=true"}));
  char body[8] = {};
  ASSERT_TRUE(state.input);
  EXPECT_EQ(state.input->ReadFully(body, sizeof body), 4);
  EXPECT_EQ(std::string(body), "body");
}

struct AnswerCase {
  const char* name;
  std::string answer;
  std::string passed_on;
};

class CopyAnswerTest : public StdRelayFilesTest,
                       public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CopyAnswerTest, PassesTheAnswerOnWithOneContentLength) {
  EXPECT_EQ(Copied(GetParam().answer), GetParam().passed_on);
}

const std::string kBody500(500, 'b');
const std::string kLongHeader = "X-Long: " + std::string(1100, 'h');
const std::string kLongBody(5000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyAnswerTest,
    ::testing::Values(AnswerCase{"HeaderEndInTheFirstBytes", "0123456789\r\n\r\n" + kBody500,
                                 "0123456789\r\nContent-Length: 500\r\n\r\n" + kBody500},
                      AnswerCase{"NoHeaderEndPassesUnchanged", "just text, no header end\r\n",
                                 "just text, no header end\r\n"},
                      AnswerCase{"LengthAlreadyThereInAnyCase",
                                 "Status: 200\r\ncontent-LENGTH: 3\r\n\r\nabc",
                                 "Status: 200\r\ncontent-LENGTH: 3\r\n\r\nabc"},
                      AnswerCase{"LongBodyCountsEveryByte", "HTTP/1.1 200 OK\r\n\r\n" + kLongBody,
                                 "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + kLongBody},
                      AnswerCase{"HeaderEndBeyondTheFirst1024Bytes", kLongHeader + "\r\n\r\nabc",
                                 kLongHeader + "\r\n\r\nabc"},
                      AnswerCase{"ZeroByteEndsTheSearch", std::string("a\0b\r\n\r\nc", 7),
                                 std::string("a\0b\r\n\r\nc", 7)},
                      AnswerCase{"EmptyAnswer", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StdRequestNameTest, OwnNamesEndInTheirOnlyReq) {
  EXPECT_TRUE(IsStdRequestName("/SRV/TEMP/VANTORA_C_0A1B_REQ"));
  EXPECT_FALSE(IsStdRequestName("/SRV/TEMP/VANTORA_C_0A1B_OUT"));
  EXPECT_FALSE(IsStdRequestName("/SRV/A_REQ/PROFILE_REQ")) << "its first _REQ is not the end";
  EXPECT_FALSE(IsStdRequestName("/WIN/PROFILE.INI"));
}

}  // namespace
}  // namespace vantora

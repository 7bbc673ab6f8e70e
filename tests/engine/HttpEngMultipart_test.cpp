#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "engine/HttpEng.h"
#include "engine/HttpEngMultipartFile.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

using namespace std::string_literals;

constexpr size_t kRing = 131072;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Builds a multipart body part by part.
class Body {
 public:
  explicit Body(std::string boundary = "----VantoraBoundary7MA4YWxk")
      : boundary_(std::move(boundary)) {}
  Body& Field(const std::string& name, const std::string& value) {
    text_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + name +
             "\"\r\n\r\n" + value + "\r\n";
    return *this;
  }
  Body& Raw(const std::string& headers, const std::string& content) {
    text_ += "--" + boundary_ + "\r\n" + headers + "\r\n\r\n" + content + "\r\n";
    return *this;
  }
  Body& File(const std::string& name, const std::string& file_name, const std::string& type,
             const std::string& content) {
    return Raw("Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + file_name +
                   "\"\r\nContent-Type: " + type,
               content);
  }
  std::string Close() const { return text_ + "--" + boundary_ + "--\r\n"; }
  std::string Open() const { return text_; }

 private:
  std::string boundary_;
  std::string text_;
};

// A program folder with an uploads directory and the log beside it.
class MultipartTest : public ::testing::Test {
 protected:
  MultipartTest() : log_env_("CGI_LOG_DIR", dir_.path()) {
    SetModuleFileNameForTesting(dir_.path() + "/vantora");
    ::mkdir((dir_.path() + "/uploads").c_str(), 0700);
    engine_.SetTempDir(dir_.path() + "/uploads");
  }
  ~MultipartTest() override { SetModuleFileNameForTesting(""); }

  // Decodes body inside a request (so the upload files live until its end)
  // and returns the request data; the request's upload list is copied out.
  std::string Decode(const std::string& body, int read_chunk = 0, long announced = -1) {
    engine_.SetBody(body);
    engine_.read_chunk = read_chunk;
    engine_.variables["CONTENT LENGTH"] =
        std::to_string(announced >= 0 ? announced : static_cast<long>(body.size()));
    std::string data;
    engine_.OnExecRequest = [&](TComponent*) {
      data = engine_.ReadMultipartInput();
      uploads_ = *CurrentRequestState().temp_files;
      for (const std::string& path : uploads_) contents_.push_back(ReadFile(path));
      if (inspect_) inspect_();
    };
    engine_.RunRequest();
    return data;
  }
  std::string Log() const { return ReadFile(dir_.path() + "/vantora.Log"); }

  ScopedTempDir dir_;
  ScopedEnv log_env_;
  FakeEngine engine_;
  std::vector<std::string> uploads_;
  std::vector<std::string> contents_;
  std::function<void()> inspect_;
};

TEST_F(MultipartTest, TextFieldsAtEveryReadSize) {
  const std::string body = Body()
                               .Field("a", "hello world")
                               .Field("b", "x&y=z\r\nline2")
                               .Raw("Content-Disposition: form-data; name=\"z\"", "a\0b"s)
                               .Raw("Content-Disposition: form-data", "no name")
                               .Field("empty", "")
                               .Close();
  for (int chunk : {0, 1, 7, 64}) {
    EXPECT_EQ(Decode(body, chunk), "a=hello+world&b=x%26y%3Dz%0D%0Aline2&z=a&empty=&")
        << "read size " << chunk;
  }
  EXPECT_TRUE(uploads_.empty());
  EXPECT_EQ(Log(), "");
}

TEST_F(MultipartTest, UploadStoredInTemporaryFileUntilRequestEnds) {
  const std::string content = "%PDF\r\n\0\x01binary\r\n--almost a boundary\r\n"s;
  const std::string body = Body()
                               .Field("title", "Report")
                               .File("up", "c:\\dir\\report.final.pdf", "application/pdf", content)
                               .Close();
  struct stat st {};
  inspect_ = [&] { ::stat(uploads_.at(0).c_str(), &st); };
  const std::string data = Decode(body, 5);
  ASSERT_EQ(uploads_.size(), 1u);
  const std::string path = uploads_[0];
  EXPECT_EQ(data,
            "title=Report&up_CONTENT_TYPE=+application/pdf&up=c%3A\\dir\\report.final.pdf&"
            "up_FILENAME=" +
                UrlEncode(path) + "&");
  EXPECT_EQ(ExtractFileDir(path), dir_.path() + "/uploads");
  EXPECT_TRUE(std::regex_match(ExtractFileName(path), std::regex(R"(\d{1,7}report\.tmp)"))) << path;
  EXPECT_EQ(contents_.at(0), content);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(FileExists(path)) << "deleted at the end of the request";
}

TEST_F(MultipartTest, PartVariants) {
  struct Case {
    const char* label;
    std::string body;
    std::string expected;  // "{path}" stands for the encoded upload path
    std::string file_content;
  };
  const Case cases[] = {
      {"empty file input is an ordinary field",
       Body().File("up", "", "application/octet-stream", "").Close(),
       "up_CONTENT_TYPE=+application/octet%2Dstream&up=&", ""},
      {"file name before field name",
       Body()
           .Raw("Content-Disposition: form-data; filename=\"a.txt\"; name=\"doc\"", "abc")
           .Close(),
       "doc=a.txt&doc_FILENAME={path}&", "abc"},
      {"file without type, unix path, odd characters",
       Body()
           .Raw("Content-Disposition: form-data; name=\"f\"; filename=\"/home/u/my file!.tar.gz\"",
                "")
           .Close(),
       "f=/home/u/my+file%21.tar.gz&f_FILENAME={path}&", ""},
      {"crafted field name cannot forge another field",
       Body().Field("x&up_FILENAME=/etc/passwd", "1").Close(), "x%26up_FILENAME%3D/etc/passwd=1&",
       ""},
      {"last delimiter followed by nothing",
       Body().Field("a", "1").Open() + "--" + "----VantoraBoundary7MA4YWxk--", "a=1&", ""},
      {"body ends after an opening delimiter",
       Body().Field("a", "1").Open() + "------VantoraBoundary7MA4YWxk\r\n", "a=1&", ""},
      {"epilogue after the closing delimiter is ignored",
       Body().Field("a", "1").Close() + "Content-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n",
       "a=1&", ""},
      {"unterminated field part adds nothing",
       Body().Field("a", "1").Open() + "------VantoraBoundary7MA4YWxk\r\n"
                                       "Content-Disposition: form-data; name=\"b\"\r\n\r\nrest",
       "a=1&", ""},
      {"unterminated upload keeps what arrived",
       Body().Open() + "------VantoraBoundary7MA4YWxk\r\nContent-Disposition: form-data; "
                       "name=\"u\"; filename=\"x.bin\"\r\n\r\npartial",
       "u=x.bin&u_FILENAME={path}&", "partial"},
      {"LF-only line ends and a short boundary",
       "--ab\nContent-Disposition: form-data; name=\"a\"\n\nv\r\n--ab--\n", "a=v&", ""},
      {"body without a usable boundary", "--\r\nname=\"a\"\r\n\r\n", "", ""},
  };
  for (const Case& c : cases) {
    uploads_.clear();
    contents_.clear();
    std::string data = Decode(c.body, 3);
    if (!uploads_.empty()) {
      const std::string encoded = UrlEncode(uploads_[0]);
      const size_t at = data.find(encoded);
      if (at != std::string::npos) data.replace(at, encoded.size(), "{path}");
      EXPECT_EQ(contents_.at(0), c.file_content) << c.label;
    }
    EXPECT_EQ(data, c.expected) << c.label;
  }
}

TEST_F(MultipartTest, CutShortOrFailingInputGivesEmptyDataAndRemovesUploads) {
  const std::string body =
      Body().Field("a", "1").File("u", "x.bin", "text/plain", std::string(5000, 'x')).Close();
  for (size_t cut : {size_t{10}, size_t{150}, body.size() - 300, body.size() - 10}) {
    EXPECT_EQ(Decode(body.substr(0, cut), 100, static_cast<long>(body.size())), "") << cut;
    for (const std::string& path : uploads_) EXPECT_FALSE(FileExists(path));
  }
  // An input that reports 0 bytes before the announced length never spins.
  engine_.body_reader = [](void*, int) { return 0; };
  EXPECT_EQ(Decode(body), "");
  engine_.body_reader = nullptr;
  // Missing or zero length: nothing is read.
  engine_.variables["CONTENT LENGTH"] = "";
  engine_.OnExecRequest = [&](TComponent*) { EXPECT_EQ(engine_.ReadMultipartInput(), ""); };
  engine_.RunRequest();
}

TEST_F(MultipartTest, DelimiterSplitAcrossRefills) {
  // A 200-character boundary and contents around the window size, so that
  // the delimiter straddles a refill at every offset near the edge.
  const std::string boundary(200, 'b');
  for (size_t size : {kRing - 600, kRing - 420, kRing - 300, kRing - 205, kRing - 100, kRing,
                      2 * kRing - 333, 3 * kRing + 17}) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + i % 23);
    const std::string body =
        Body(boundary).File("f", "big.dat", "x/y", content).Field("after", "ok").Close();
    for (int chunk : {0, 4093}) {
      uploads_.clear();
      contents_.clear();
      const std::string data = Decode(body, chunk);
      ASSERT_EQ(contents_.size(), 1u) << size;
      EXPECT_TRUE(contents_[0] == content)
          << "size " << size << " chunk " << chunk << " got " << contents_[0].size();
      EXPECT_NE(data.find("&after=ok&"), std::string::npos) << data;
    }
  }
  const std::string value(kRing - 1000, 'v');
  EXPECT_EQ(Decode(Body(boundary).Field("big", value).Close(), 999), "big=" + value + "&");
}

TEST_F(MultipartTest, OversizedPartsAreDroppedAndLogged) {
  const std::string long_header =
      "Content-Disposition: form-data; name=\"h\"\r\nX-Long: " + std::string(3000, 'h');
  const std::string endless_header =
      "Content-Disposition: form-data; name=\"e\"; x=" + std::string(kRing + 10, 'e');
  const std::string body = Body()
                               .Raw(long_header, "dropped")
                               .Field("a", "1")
                               .Field("huge", std::string(kRing + 5, 'z'))
                               .Field("b", "2")
                               .Raw(endless_header, "dropped too")
                               .Field("c", "3")
                               .Close();
  EXPECT_EQ(Decode(body, 8192), "a=1&b=2&c=3&");
  const std::string log = Log();
  size_t count = 0;
  for (size_t at = 0; (at = log.find(" : Multipart part too large\r\n", at)) != std::string::npos;
       ++at) {
    ++count;
  }
  EXPECT_EQ(count, 3u) << log;
}

TEST_F(MultipartTest, TemporaryDirectoryRelativeOrMissing) {
  const std::string body = Body().File("u", "a.txt", "text/plain", "abc").Close();
  engine_.SetTempDir("uploads");
  Decode(body);
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(ExtractFileDir(uploads_[0]), dir_.path() + "/uploads");

  engine_.SetTempDir("");
  uploads_.clear();
  Decode(body);
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(ExtractFileDir(uploads_[0]), dir_.path());

  engine_.SetTempDir(dir_.path() + "/no/such/dir");
  uploads_.clear();
  Decode(body);
  EXPECT_NE(Log().find("Unhandled exception : Cannot create upload file " + dir_.path() +
                       "/no/such/dir/"),
            std::string::npos)
      << Log();
}

TEST(HttpEngMultipartFileTest, UploadBaseName) {
  const std::pair<const char*, const char*> cases[] = {
      {"c:\\dir\\report.final.pdf", "report"},
      {"/home/u/a b+c.txt", "a_b_c"},
      {"..\\..\\evil", "evil"},
      {"na-me_1", "na-me_1"},
      {"\xe4rger.doc", "_rger"},
      {"dir/", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(UploadBaseName(in), out) << in;
}

// Reads the process's peak resident set size in KiB.
long PeakRssKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Streams a 50 MB upload through a pipe and checks, in a child process so
// that other tests do not disturb the figures, that the peak resident size
// stays flat and the stored file is exact.
TEST_F(MultipartTest, FiftyMegabyteUploadStreamsWithFlatMemory) {
  constexpr size_t kSize = 50u * 1024 * 1024;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(report[0]);
    std::string message;
    int body_pipe[2];
    if (pipe(body_pipe) != 0) _exit(2);
    const std::string head = Body().Field("a", "1").Open() +
                             "------VantoraBoundary7MA4YWxk\r\nContent-Disposition: form-data; "
                             "name=\"u\"; filename=\"big.bin\"\r\n\r\n";
    const std::string tail = "\r\n" + Body().Field("b", "2").Close();
    std::thread writer([&] {
      auto put = [&](const char* p, size_t n) {
        while (n > 0) {
          const ssize_t w = ::write(body_pipe[1], p, n);
          if (w <= 0) return;
          p += w;
          n -= static_cast<size_t>(w);
        }
      };
      put(head.data(), head.size());
      char block[65536];
      for (size_t done = 0; done < kSize; done += sizeof block) {
        for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<char>((done + i) % 251);
        put(block, std::min(sizeof block, kSize - done));
      }
      put(tail.data(), tail.size());
      ::close(body_pipe[1]);
    });
    engine_.variables["CONTENT LENGTH"] = std::to_string(head.size() + kSize + tail.size());
    engine_.body_reader = [&](void* buffer, int count) {
      int got = 0;
      while (got < count) {
        const ssize_t n = ::read(body_pipe[0], static_cast<char*>(buffer) + got,
                                 static_cast<size_t>(count - got));
        if (n <= 0) return -1;
        got += static_cast<int>(n);
      }
      return got;
    };
    long before = 0, after = 0;
    std::string data;
    bool file_ok = false;
    engine_.OnExecRequest = [&](TComponent*) {
      {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // the peak starts again from the present size
      }
      before = PeakRssKib();
      data = engine_.ReadMultipartInput();
      after = PeakRssKib();
      const std::string path = CurrentRequestState().temp_files->at(0);
      std::ifstream in(path, std::ios::binary);
      std::vector<char> block(1 << 20);
      size_t offset = 0;
      file_ok = true;
      while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount()) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
          if (block[static_cast<size_t>(i)] != static_cast<char>((offset + i) % 251)) {
            file_ok = false;
          }
        }
        offset += static_cast<size_t>(in.gcount());
      }
      file_ok = file_ok && offset == kSize;
    };
    engine_.RunRequest();
    writer.join();
    message =
        std::to_string(after - before) + " " + (file_ok ? "file-ok" : "file-bad") + " " +
        (data.find("a=1&u=big.bin&u_FILENAME=") == 0 && data.find("&b=2&") != std::string::npos
             ? "data-ok"
             : "data-bad:" + data);
    (void)!::write(report[1], message.data(), message.size());
    _exit(0);
  }
  ::close(report[1]);
  std::string message;
  char buf[4096];
  for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;) message.append(buf, n);
  ::close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << message;
  std::istringstream fields(message);
  long growth_kib = -1;
  std::string file_state, data_state;
  fields >> growth_kib >> file_state >> data_state;
  EXPECT_EQ(file_state, "file-ok");
  EXPECT_EQ(data_state, "data-ok");
  // The decoder holds one 128 KiB window; allow for the allocator and the
  // kernel's page accounting, far below the 50 MB that passed through.
  EXPECT_GE(growth_kib, 0);
  EXPECT_LT(growth_kib, 4096) << "peak resident size grew by " << growth_kib << " KiB";
  RecordProperty("peak_growth_kib", std::to_string(growth_kib));
}

}  // namespace
}  // namespace vantora

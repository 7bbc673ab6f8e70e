// Template filters: templates in, response text out, through a recording
// engine bound to the test thread, with the real request log and real files.

#include "engine/HUtilsFilter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/HttpEng.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"

namespace vantora {
namespace {

class HUtilsFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_dir_.path();
    SetModuleFileNameForTesting(dir_ + "/vantora.cgi");
    engine_.SetAutoHttpHeader(false);
    engine_.missing_value = kNotAvailable;
    engine_.variables = {{"SERVER_NAME", "<b>srv</b>"}, {"BOTH", "from variable"}, {"EMPTY", ""}};
    engine_.request_data =
        "name=O%27Brien+%26+%3CCo%3E&BOTH=from+field&EMPTY=from+field&"
        "RANDOM_HIDDEN_INPUT=from+field";
    engine_.MakeCurrent();
    CurrentConditionStack().Reset();
  }

  void TearDown() override {
    CurrentRequestState().engine = nullptr;
    CurrentConditionStack().Reset();
    SetModuleFileNameForTesting("");
  }

  std::string Output() const { return engine_.output(); }
  void ClearOutput() { engine_.ClearOutput(); }

  // The application's side: known tags write their value, others decline.
  void AnswerKnownTags(THttpTextFilterComponent& filter) {
    filter.OnHttpEntry = [this](const std::string& name, bool& handled) {
      entry_names_.push_back(name);
      if (name == "HITS_TODAY") {
        Send("42");
      } else {
        handled = false;
      }
    };
  }

  // Conditions answer true when listed in true_conditions ("X,Y").
  static void AnswerConditions(THttpTextFilterComponent& filter, std::string true_conditions) {
    filter.OnHttpLogicalEntry = [true_conditions](const std::string& name, bool& value) {
      std::set<std::string> names;
      std::stringstream list(true_conditions);
      for (std::string item; std::getline(list, item, ',');) names.insert(item);
      value = names.count(name) > 0;
    };
  }

  // The messages of the request log's lines, in order.
  std::vector<std::string> LogMessages() const {
    std::vector<std::string> messages;
    std::ifstream in(LogFilePath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      EXPECT_TRUE(!line.empty() && line.back() == '\r') << line;
      if (!line.empty()) line.pop_back();
      const size_t at = line.find(" : ");
      EXPECT_NE(at, std::string::npos) << line;
      if (at != std::string::npos) messages.push_back(line.substr(at + 3));
    }
    return messages;
  }

  void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
  }

  ScopedTempDir temp_dir_;
  ScopedEnv log_dir_{"CGI_LOG_DIR", temp_dir_.path() + "/Log"};
  std::string dir_;
  FakeEngine engine_;
  std::vector<std::string> entry_names_;
};

// ---------------------------------------------------------------------------
// Tag text and delimiters.

TEST(HUtilsFilterTagTextTest, AcceptsOnlyTagCharacters) {
  struct Case {
    std::string text;
    bool is_tag;
  };
  const Case cases[] = {
      {"", true},        {"HITS_TODAY", true}, {"$'*+-/09:;<=>?@AZ[\\]^_`az{|}~\x7f\x80\xff", true},
      {"IF X", true},    {"IF   X", true},     {"ELSEIF X", true},
      {"IF ", true},     {"if x", false},      {"If x", false},
      {" IF X", false},  {"IF X Y", false},    {"IF X ", false},
      {"ENDIF ", false}, {"ELSE X", false},    {"A B", false},
      {"A\tB", false},   {"A\x1f", false},     {"A!", false},
      {"A\"", false},    {"A#", false},        {"A%", false},
      {"A&", false},     {"A(", false},        {"A)", false},
      {"A,", false},     {"A.", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(THttpTextFilterComponent::IsTagText(c.text), c.is_tag) << "\"" << c.text << "\"";
  }
}

TEST(HUtilsFilterTagTextTest, FindDelimiterTakesTheEarliestOfEitherKind) {
  struct Case {
    std::string text;
    int position;
    char delimiter;
  };
  const Case cases[] = {
      {"a%b#", 2, '%'},
      {"ab#c%", 3, '#'},
      {"%", 1, '%'},
      {"no delimiter", 0, '%'},  // keeps the previous one
  };
  THttpMemoFilter filter(nullptr, "Filter1");
  EXPECT_EQ(filter.Delimiter(), '\0');
  for (const Case& c : cases) {
    EXPECT_EQ(filter.FindDelimiter(c.text), c.position) << c.text;
    EXPECT_EQ(filter.Delimiter(), c.delimiter) << c.text;
  }
}

// The search goes many bytes at a time: a delimiter is found wherever it
// lies, of either kind, with bytes of every value before it.
TEST(HUtilsFilterTagTextTest, FindDelimiterFindsEveryPositionOfEveryLength) {
  THttpMemoFilter filter(nullptr, "Filter1");
  for (size_t length = 1; length <= 40; ++length) {
    for (size_t at = 0; at < length; ++at) {
      std::string text(length, 'x');
      for (size_t k = 0; k < at; ++k) {
        // Bytes near the delimiters' values, high bytes included.
        text[k] = static_cast<char>("$&\"\x80\xa5\xe3"[k % 6]);
      }
      text[at] = at % 2 == 0 ? '#' : '%';
      ASSERT_EQ(filter.FindDelimiter(text), static_cast<int>(at) + 1) << length << " " << at;
      ASSERT_EQ(filter.Delimiter(), text[at]);
    }
    EXPECT_EQ(filter.FindDelimiter(std::string(length, '$')), 0) << length;
  }
}

TEST(HUtilsFilterTagTextTest, HtmlEscapeCoversMarkupCharacters) {
  EXPECT_EQ(HtmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#39;f");
  EXPECT_EQ(HtmlEscape("plain \x80 text"), "plain \x80 text");
}

// The escape at a pointer and the appending form against a plain byte by
// byte reference, for every length up to 40 with a markup character (or a
// '#', which the word test cannot tell from them) at every position, so that
// each position within a word of eight, the last word and the overlapping
// tail are all met.
TEST(HUtilsFilterTagTextTest, HtmlEscapeToFindsMarkupAtEveryPositionOfEveryLength) {
  const auto reference = [](const std::string& text) {
    std::string escaped;
    for (const char c : text) {
      switch (c) {
        case '&':
          escaped += "&amp;";
          break;
        case '<':
          escaped += "&lt;";
          break;
        case '>':
          escaped += "&gt;";
          break;
        case '"':
          escaped += "&quot;";
          break;
        case '\'':
          escaped += "&#39;";
          break;
        default:
          escaped += c;
      }
    }
    return escaped;
  };
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t at = 0; at <= length; ++at) {
      for (const char mark : {'&', '<', '>', '"', '\'', '#', '\xA6'}) {
        std::string text(length, 'a');
        for (size_t k = 0; k < length; ++k) text[k] = static_cast<char>("abc.-/:?=%"[k % 10]);
        if (at < length) text[at] = mark;
        if (length > 20 && at + 9 < length) text[at + 9] = '>';
        const std::string expected = reference(text);
        std::string buffer(kHtmlEscapeGrowth * length + 1, '\x7F');
        char* end = HtmlEscapeTo(buffer.data(), text);
        ASSERT_EQ(std::string(buffer.data(), end), expected) << text;
        ASSERT_EQ(buffer[static_cast<size_t>(end - buffer.data())], '\x7F') << text;
        std::string appended = "x";
        AppendHtmlEscaped(&appended, text);
        ASSERT_EQ(appended, "x" + expected) << text;
      }
    }
  }
  // An empty view without any bytes behind it (a null data()).
  char room[1] = {'\x7F'};
  EXPECT_EQ(HtmlEscapeTo(room, std::string_view()), room);
  EXPECT_EQ(room[0], '\x7F');
}

// The appending form adds exactly HtmlEscape's text after what the string
// holds: markup characters first, last, side by side and between runs of
// plain bytes of every length, 8-bit bytes and NUL included.
TEST(HUtilsFilterTagTextTest, AppendHtmlEscapedAddsTheEscapedTextAfterTheContent) {
  const std::string plain_run(37, 'x');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"&", "&amp;"},
      {"<>", "&lt;&gt;"},
      {"\"'", "&quot;&#39;"},
      {"ab&", "ab&amp;"},
      {"&ab", "&amp;ab"},
      {"a<b>c", "a&lt;b&gt;c"},
      {plain_run, plain_run},
      {plain_run + "'" + plain_run, plain_run + "&#39;" + plain_run},
      {"#;=?%\x80\xff", "#;=?%\x80\xff"},
      {std::string("a\0&", 3), std::string("a\0&amp;", 7)},
      {"http://example.com/find?q=a&page=2", "http://example.com/find?q=a&amp;page=2"},
  };
  for (const auto& [text, escaped] : cases) {
    std::string out = "<b>";
    AppendHtmlEscaped(&out, text);
    EXPECT_EQ(out, "<b>" + escaped) << text;
    EXPECT_EQ(HtmlEscape(text), escaped) << text;
  }
}

// ---------------------------------------------------------------------------
// One line through a memo filter.

struct TemplateCase {
  const char* title;
  const char* in;
  const char* out;
  // Null: no OnHttpLogicalEntry handler; otherwise the conditions that are
  // true, comma-separated.
  const char* true_conditions;
};

TEST_F(HUtilsFilterTest, TemplatesInTextOut) {
  const char* none = nullptr;
  const TemplateCase cases[] = {
      {"both delimiters", "%HITS_TODAY% #HITS_TODAY#", "42 42", none},
      {"adjacent tags", "%HITS_TODAY%%HITS_TODAY%", "4242", none},
      {"percent signs in prose", "50% of 100%", "50% of 100%", none},
      {"colour and lone sign", "<font color=#fff>5%</font>", "<font color=#fff>5%</font>", none},
      {"unclosed tag", "a %HITS_TODAY", "a %HITS_TODAY", none},
      {"different delimiters do not pair", "%A#B%", "%A#B%", none},
      {"full stop is no tag character", "%A.B% %HITS_TODAY%", "%A.B% 42", none},
      {"empty tag", "x%%y", "xy", none},
      {"tag with no value anywhere", "[%NOWHERE%]", "[]", none},
      {"request variable, escaped", "%SERVER_NAME%", "&lt;b&gt;srv&lt;/b&gt;", none},
      {"form field, escaped", "#name#", "O&#39;Brien &amp; &lt;Co&gt;", none},
      {"variable before field", "%BOTH%", "from variable", none},
      {"empty variable falls back to the field", "%EMPTY%", "from field", none},
      {"IF without handler", "%IF LOGGEDIN%A%ELSE%B%ENDIF%", "B", none},
      {"IF answered true", "%IF LOGGEDIN%A%ELSE%B%ENDIF%", "A", "LOGGEDIN"},
      {"IF answered false", "%IF LOGGEDIN%A%ELSE%B%ENDIF%", "B", ""},
      {"first branch", "%IF X%1%ELSEIF Y%2%ELSE%3%ENDIF%", "1", "X,Y"},
      {"second branch", "%IF X%1%ELSEIF Y%2%ELSE%3%ENDIF%", "2", "Y"},
      {"else branch", "%IF X%1%ELSEIF Y%2%ELSE%3%ENDIF%", "3", ""},
      {"else branch without handler", "%IF X%1%ELSEIF Y%2%ELSE%3%ENDIF%", "3", none},
      {"taken branch silences the rest", "%IF X%1%ELSEIF Y%2%ELSEIF Z%3%ELSE%4%ENDIF%", "2", "Y,Z"},
      {"inactive branch hides tags", "%IF X%[%HITS_TODAY%]%ENDIF%.", ".", none},
      {"several blanks after IF", "%IF   X%a%ENDIF%", "a", "X"},
      {"lower-case if is no tag", "a %if x% b", "a %if x% b", none},
      {"lower-case else and endif", "%IF X%a%else%b%endif%c", "bc", none},
      {"ELSEWHERE acts as ELSE", "%IF X%a%ELSEWHERE%b%ENDIF%", "b", none},
      {"ELSEIF without condition acts as ELSE", "%IF X%a%ELSEIF%b%ENDIF%", "b", none},
      {"IF alone is a plain tag", "[%IF%]", "[]", none},
      {"blank inside a condition", "%IF X Y%a%ENDIF%b", "%IF X YENDIF%b", none},
      {"nested blocks", "%IF A%a%IF B%b%ELSE%c%ENDIF%d%ENDIF%e", "acde", "A"},
      {"nested in an inactive block", "%IF A%a%IF B%b%ELSE%c%ENDIF%d%ENDIF%e", "e", "B"},
      {"unbalanced ENDIF", "a%ENDIF%b%ENDIF%c", "abc", none},
      {"closed block then unbalanced ENDIF", "%IF X%a%ENDIF%%ENDIF%b", "b", none},
      {"ELSE and ELSEIF outside a block", "a%ELSE%b%ELSEIF X%c%ELSEWHERE%d", "abcd", "X"},
  };
  for (const TemplateCase& c : cases) {
    SCOPED_TRACE(c.title);
    ClearOutput();
    THttpMemoFilter filter(nullptr, "Filter1");
    AnswerKnownTags(filter);
    if (c.true_conditions) AnswerConditions(filter, c.true_conditions);
    filter.SetText({c.in});
    filter.Execute();
    EXPECT_EQ(Output(), std::string(c.out) + "\r\n");
    EXPECT_EQ(CurrentConditionStack().level, 0);
  }
}

TEST_F(HUtilsFilterTest, ConditionsTheHandlerLeavesAloneAreFalse) {
  THttpMemoFilter filter(nullptr, "Filter1");
  std::vector<std::string> asked;
  filter.OnHttpLogicalEntry = [&asked](const std::string& name, bool& value) {
    asked.push_back(name);
    if (name == "KNOWN") value = true;
  };
  filter.SetText({"%IF KNOWN%k%ENDIF%%IF OTHER%o%ELSEIF ALSO%a%ELSE%e%ENDIF%"});
  filter.Execute();
  EXPECT_EQ(Output(), "ke\r\n");
  EXPECT_EQ(asked, (std::vector<std::string>{"KNOWN", "OTHER", "ALSO"}));
}

TEST_F(HUtilsFilterTest, EmptyTagIsOfferedToTheEntryEventWithAnEmptyName) {
  THttpMemoFilter filter(nullptr, "Filter1");
  AnswerKnownTags(filter);
  filter.SetText({"a%%b#  #c"});
  filter.Execute();
  EXPECT_EQ(Output(), "ab#  #c\r\n");
  EXPECT_EQ(entry_names_, std::vector<std::string>{""});
}

TEST_F(HUtilsFilterTest, WithoutEntryHandlerFallbacksApply) {
  THttpMemoFilter filter(nullptr, "Filter1");
  filter.SetText({"%SERVER_NAME%|%name%|%HITS_TODAY%"});
  filter.Execute();
  EXPECT_EQ(Output(), "&lt;b&gt;srv&lt;/b&gt;|O&#39;Brien &amp; &lt;Co&gt;|\r\n");
}

TEST_F(HUtilsFilterTest, BuiltInNamesFollowTheClock) {
  ScopedTimeZone zone(kCentralEurope);
  struct Case {
    int hour, minute, second, millisecond;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {0, 1, 40, 0, "%RANDOM_HIDDEN_INPUT%",
       "<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"100\">"},
      {0, 0, 0, 0, "%RANDOM_HIDDEN_INPUT%",
       "<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"0\">"},
      {23, 59, 59, 999, "#RANDOM_HIDDEN_INPUT#",
       "<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"86399\">"},
      {0, 1, 40, 0, "%DATE% %TIME%", "2026/07/04 00:01:40"},
      // Only the exact upper-case names are built in.
      {0, 1, 40, 0, "[%date%%Time%]", "[]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    const TDateTime local =
        EncodeDate(2026, 7, 4) + EncodeTime(c.hour, c.minute, c.second, c.millisecond);
    ScopedFakeClock clock(LocalToUnix(local));
    ClearOutput();
    THttpMemoFilter filter(nullptr, "Filter1");
    filter.SetText({c.in});
    filter.Execute();
    EXPECT_EQ(Output(), std::string(c.out) + "\r\n");
  }
}

TEST_F(HUtilsFilterTest, EveryAcceptedTagTextIsLogged) {
  THttpMemoFilter filter(nullptr, "Filter1");
  AnswerKnownTags(filter);
  filter.SetText({"50% of 100% %IF X%%HIDDEN%%ENDIF%%%#HITS_TODAY#"});
  filter.Execute();
  EXPECT_EQ(Output(), "50% of 100% 42\r\n");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"IF X", "HIDDEN", "ENDIF", "", "HITS_TODAY"}));
}

TEST_F(HUtilsFilterTest, HandlerErrorsReachTheCaller) {
  THttpMemoFilter filter(nullptr, "Filter1");
  filter.OnHttpEntry = [](const std::string&, bool&) { throw std::runtime_error("boom"); };
  filter.SetText({"a%X%b"});
  EXPECT_THROW(filter.Execute(), std::runtime_error);
  EXPECT_EQ(Output(), "a");
}

// ---------------------------------------------------------------------------
// Long texts and the search windows.

TEST_F(HUtilsFilterTest, LongTextsAreWrittenWhole) {
  THttpMemoFilter filter(nullptr, "Filter1");
  AnswerKnownTags(filter);
  const std::string before(150000, 'x');
  const std::string after(70000, 'y');
  CurrentConditionStack().Reset();
  filter.FilterText(before + "%HITS_TODAY%" + after);
  EXPECT_EQ(Output(), before + "42" + after);
}

TEST_F(HUtilsFilterTest, ClosingDelimiterMustFollowWithinTheTagWindow) {
  THttpMemoFilter filter(nullptr, "Filter1");
  AnswerKnownTags(filter);
  const size_t window = THttpTextFilterComponent::kTagWindow;
  const std::string longest(window - 1, 'A');
  const std::string too_long(window, 'A');

  filter.FilterText("<%" + longest + "%>");
  EXPECT_EQ(Output(), "<>");
  ASSERT_EQ(entry_names_.size(), 1u);
  EXPECT_EQ(entry_names_[0], longest);

  ClearOutput();
  filter.FilterText("<%" + too_long + "%>");
  EXPECT_EQ(Output(), "<%" + too_long + "%>");
  EXPECT_EQ(entry_names_.size(), 1u);
}

TEST_F(HUtilsFilterTest, DelimiterAsLastCharacterIsText) {
  THttpMemoFilter filter(nullptr, "Filter1");
  filter.FilterText("100%");
  filter.FilterText("#");
  EXPECT_EQ(Output(), "100%#");
}

// ---------------------------------------------------------------------------
// Condition state.

TEST_F(HUtilsFilterTest, BlocksSpanLinesOfAMemo) {
  THttpMemoFilter filter(nullptr, "Filter1");
  filter.SetText({"%IF X%", "yes", "%ELSE%", "no", "%ENDIF%", "end"});
  filter.Execute();
  EXPECT_EQ(Output(), "\r\nno\r\n\r\nend\r\n");
}

TEST_F(HUtilsFilterTest, MemoFilterResetsAnUnclosedBlock) {
  THttpMemoFilter opener(nullptr, "Opener");
  opener.FilterText("%IF X%hidden");
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(CurrentConditionStack().level, 1);

  THttpMemoFilter memo(nullptr, "Memo");
  memo.SetText({"shown"});
  memo.Execute();
  EXPECT_EQ(Output(), "shown\r\n");
  EXPECT_EQ(CurrentConditionStack().level, 0);
}

TEST_F(HUtilsFilterTest, NestingBeyondTheStackStaysInactiveAndBalanced) {
  THttpMemoFilter filter(nullptr, "Filter1");
  int asked = 0;
  filter.OnHttpLogicalEntry = [&asked](const std::string&, bool& value) {
    ++asked;
    value = true;
  };
  const int deepest = ConditionStack::kLevels - 1;  // 31 blocks fit

  std::string in;
  for (int i = 0; i < deepest; ++i) in += "%IF T%";
  in += "[in]%IF T%deep%ELSEIF T%elseif%ELSE%else%IF T%deeper%ENDIF%%ENDIF%[back]";
  for (int i = 0; i < deepest; ++i) in += "%ENDIF%";
  in += "[out]";
  filter.FilterText(in);
  EXPECT_EQ(Output(), "[in][back][out]");
  EXPECT_EQ(CurrentConditionStack().level, 0);
  EXPECT_EQ(asked, deepest);  // blocks beyond the stack ask for nothing

  // Far deeper nesting keeps every flag in place and closes again.
  ClearOutput();
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "%IF T%";
  deep += "x";
  for (int i = 0; i < 100; ++i) deep += "%ENDIF%";
  filter.FilterText(deep + "after");
  EXPECT_EQ(Output(), "after");
  EXPECT_EQ(CurrentConditionStack().level, 0);
  EXPECT_TRUE(CurrentConditionStack().Active(0));
}

TEST_F(HUtilsFilterTest, EachThreadHasItsOwnConditionState) {
  THttpMemoFilter filter(nullptr, "Filter1");
  filter.FilterText("%IF X%");
  ASSERT_EQ(CurrentConditionStack().level, 1);

  int32_t other_level = -1;
  bool other_active = false;
  std::thread other([&] {
    other_level = CurrentConditionStack().level;
    other_active = CurrentConditionStack().Active(0);
  });
  other.join();
  EXPECT_EQ(other_level, 0);
  EXPECT_TRUE(other_active);
  EXPECT_EQ(CurrentConditionStack().level, 1);
}

// ---------------------------------------------------------------------------
// File filter.

TEST_F(HUtilsFilterTest, FileNameRules) {
  WriteFile(dir_ + "/vantora.htm", "<p>%HITS_TODAY%</p>");
  WriteFile(dir_ + "/page.htm", "page %HITS_TODAY%");
  std::filesystem::create_directory(dir_ + "/elsewhere");
  WriteFile(dir_ + "/elsewhere/abs.htm", "absolute");

  struct Case {
    std::string file_name;
    std::string out;
    std::string file_name_after;
  };
  const Case cases[] = {
      {"", "<p>42</p>", dir_ + "/vantora.htm"},
      {"page.htm", "page 42", "page.htm"},
      {dir_ + "/elsewhere/abs.htm", "absolute", dir_ + "/elsewhere/abs.htm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file_name);
    ClearOutput();
    THttpFileFilter filter(nullptr, "HttpFileFilter1");
    AnswerKnownTags(filter);
    filter.SetFileName(c.file_name);
    filter.Execute();
    EXPECT_EQ(Output(), c.out);
    EXPECT_EQ(filter.FileName(), c.file_name_after);
  }
}

TEST_F(HUtilsFilterTest, ATemplateLargerThanOneReadComesOutWhole) {
  // The file is read in large chunks and handed out in its blocks of 255
  // bytes: blocks that reach over a chunk's end (at 65,535 and 131,070 here)
  // must hold the file's own bytes.
  std::string text;
  for (size_t i = 0; text.size() < 200000; ++i) text += static_cast<char>('a' + i % 26);
  std::string expected = text;
  for (const size_t at : {size_t{131080}, size_t{65540}}) {
    text.replace(at, 12, "%HITS_TODAY%");
    expected.replace(at, 12, "42");
  }
  WriteFile(dir_ + "/large.htm", text);
  THttpFileFilter filter(nullptr, "HttpFileFilter1");
  AnswerKnownTags(filter);
  filter.SetFileName("large.htm");
  filter.Execute();
  EXPECT_TRUE(Output() == expected) << "output of " << Output().size() << " bytes";
  EXPECT_EQ(entry_names_, (std::vector<std::string>{"HITS_TODAY", "HITS_TODAY"}));
}

TEST_F(HUtilsFilterTest, DefaultNameOfAProgramWithoutExtension) {
  SetModuleFileNameForTesting(dir_ + "/vantora");
  WriteFile(dir_ + "/vantora.htm", "default");
  THttpFileFilter filter(nullptr, "HttpFileFilter1");
  filter.Execute();
  EXPECT_EQ(Output(), "default");
}

TEST_F(HUtilsFilterTest, FileErrorsNameTheComponentAndPath) {
  // A socket exists as a file but cannot be opened for reading.
  const std::string socket_path = dir_ + "/socket.htm";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  struct Case {
    std::string file_name;
    std::string message;
  };
  const Case cases[] = {
      {"missing.htm", "HttpFileFilter1 : Can not find file named " + dir_ + "/missing.htm"},
      {dir_ + "/Log", "HttpFileFilter1 : Can not find file named " + dir_ + "/Log"},
      {"socket.htm", "HttpFileFilter1 : open error " + socket_path},
  };
  std::filesystem::create_directory(dir_ + "/Log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file_name);
    THttpFileFilter filter(nullptr, "HttpFileFilter1");
    filter.SetFileName(c.file_name);
    try {
      filter.Execute();
      ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
  close(fd);
  EXPECT_EQ(Output(), "");
}

TEST_F(HUtilsFilterTest, FileIsReadInBlocksJoinedAroundDelimiters) {
  const std::string a180(180, 'a');
  const std::string a250(250, 'a');
  const std::string long_name(100, 'B');
  const std::string straddling = a180 + "%" + long_name + "%tail";  // opens before offset 190
  struct Case {
    const char* title;
    // Filtered first by the same component, to leave its last delimiter.
    std::string earlier;
    std::string content;
    std::string out;
  };
  const Case cases[] = {
      {"fresh filter joins every full block", "", straddling, a180 + "tail"},
      {"tag split between pieces is text", "%X%", straddling, straddling},
      {"delimiter near the block end joins", "%X%", a250 + "%HITS_TODAY%.", a250 + "42."},
      {"only the last delimiter kind joins", "#X#", a250 + "%HITS_TODAY%.", a250 + "%HITS_TODAY%."},
      {"a zero byte ends the block's text", "",
       std::string(10, 'x') + std::string(1, '\0') + std::string(244, 'y') + "zz",
       std::string(10, 'x') + "zz"},
      {"size a multiple of the block", "", std::string(510, 'q'), std::string(510, 'q')},
      {"empty file", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string earlier_path = dir_ + "/earlier.htm";
    const std::string path = dir_ + "/content.htm";
    WriteFile(earlier_path, c.earlier);
    WriteFile(path, c.content);
    THttpFileFilter filter(nullptr, "HttpFileFilter1");
    if (!c.earlier.empty()) {
      filter.SetFileName(earlier_path);
      filter.Execute();
    }
    AnswerKnownTags(filter);
    ClearOutput();
    filter.SetFileName(path);
    filter.Execute();
    EXPECT_EQ(Output(), c.out);
  }
}

TEST_F(HUtilsFilterTest, FileFilterKeepsTheConditionState) {
  WriteFile(dir_ + "/a.htm", "%IF X%hidden");
  WriteFile(dir_ + "/b.htm", "still hidden%ELSE%shown%ENDIF%!");
  THttpFileFilter filter(nullptr, "HttpFileFilter1");
  filter.SetFileName("a.htm");
  filter.Execute();
  filter.SetFileName("b.htm");
  filter.Execute();
  EXPECT_EQ(Output(), "shown!");
}

}  // namespace
}  // namespace vantora

#include "app/VantoraUsage.h"

#include <unistd.h>

#include "adapters/CgiWEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/HandleStream.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

struct StartForm {
  const char* command;      // after the program's name
  const char* description;  // lines separated by LF
};

// How the program is started.  A row per start form, in the order shown.
const StartForm kStartForms[] = {
    {"",
     "Standard CGI: the web server sets SERVER_SOFTWARE and the\n"
     "other CGI variables; the answer goes to standard output."},
    {"PROFILE",
     "Windows CGI: PROFILE is the request profile the web\n"
     "server wrote (CGI_VERSION names \"WIN\" when the server\n"
     "sets SERVER_SOFTWARE); the answer goes to the output\n"
     "file the profile names."},
    {"START_SERVER",
     "CGI server: stays loaded beside the program and serves\n"
     "the requests its standard CGI processes relay to it\n"
     "through the folder Temp there; Ctrl-C or SIGTERM ends it.\n"
     "Started with no parameters (and no SERVER_SOFTWARE) it\n"
     "serves relayed Windows CGI profiles as well.\n"
     "CGI_SERVER_THREADS=1 serves each request on a thread."},
    {"--fastcgi ADDRESS [--threads N]",
     "FastCGI: stays loaded and serves the web server's\n"
     "requests on N threads (default: one per core) at the\n"
     "unix socket path or host:port ADDRESS, until SIGTERM\n"
     "or Ctrl-C.  A FastCGI process manager that starts the\n"
     "program with a listening socket as standard input\n"
     "needs no ADDRESS."},
    {"--help", "Shows this text."},
    {"--version", "Shows the program's version."},
};

// The start table as two columns: the command, padded to width, and its
// description; a command too wide for its column stands on a line of its own.
std::string Rows(const std::string& name, size_t width) {
  const std::string indent(width, ' ');
  std::string text;
  for (const StartForm& form : kStartForms) {
    std::string left = "  " + name;
    if (*form.command) left += std::string(" ") + form.command;
    left =
        left.size() < width ? left + std::string(width - left.size(), ' ') : left + "\n" + indent;
    const std::string description = form.description;
    size_t start = 0;
    for (;;) {
      const size_t end = description.find('\n', start);
      text += left + description.substr(start, end - start) + "\n";
      if (end == std::string::npos) break;
      left = indent;
      start = end + 1;
    }
  }
  return text;
}

}  // namespace

std::string UsageText(const std::string& program_file) {
  const std::string name = ExtractFileName(program_file);
  const std::string folder = ExtractFileDir(program_file);
  const std::string log_dir = GetEnv("CGI_LOG_DIR");
  std::string log_folder = folder + "/Log";
  if (!log_dir.empty()) log_folder = IsAbsolutePath(log_dir) ? log_dir : folder + "/" + log_dir;
  const auto beside = [&](const char* extension) {
    return ExtractFileName(ChangeFileExt(program_file, extension));
  };

  std::string text =
      "Usage: " + name +
      " [PROFILE | START_SERVER | --fastcgi ADDRESS [--threads N] | --help | --version]\n\n";
  text +=
      "Counts the visits of a web site's pages and shows them as pages and charts.\n"
      "A web server runs the program for every request; each page of the site\n"
      "carries a picture whose address is the program with the query STAT.\n\n";
  text += "How it is started:\n" + Rows(name, 22) + "\n";
  text += "Files it keeps beside itself, in " + folder + ":\n";
  const auto file_row = [&](const std::string& file, const std::string& what) {
    text += "  " + file + std::string(file.size() < 18 ? 18 - file.size() : 1, ' ') + what + "\n";
  };
  file_row(beside(".stat1"), "the last 500 visitors");
  file_row(beside(".stat2"), "the hits of every hour");
  file_row(beside(".htm"), "the statistics page template");
  file_row(beside(".xx"), "the template for visitors from the country whose");
  file_row("", "domain suffix is xx (optional)");
  text += "\nIts log: " + log_folder + "/" + beside(".Log") +
          "\n  (the environment variable CGI_LOG_DIR names another folder)\n";
  return text;
}

std::string VersionText(const std::string& program_file) {
  return ExtractFileName(program_file) + " " + kVantoraVersion + "\n";
}

bool AnswerCommandLineQuestion(int output_handle) {
  if (ParamCount() < 1) return false;
  const std::string word = ParamStr(1);
  if (word != "--help" && word != "--version") return false;
  // A standard CGI server may pass words of the query as parameters: there
  // the request is served as usual.
  if (IsNotWindowsCgiProcess()) return false;
  const std::string program_file = ModuleFileName();
  const std::string answer = word == "--help" ? UsageText(program_file) : VersionText(program_file);
  THandleStream output(output_handle, false);
  output.Write(answer.data(), static_cast<int>(answer.size()));
  return true;
}

}  // namespace vantora

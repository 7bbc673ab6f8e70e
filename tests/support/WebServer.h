// A real web server for tests: lighttpd (mod_cgi), Apache (mod_cgid) or nginx
// with fcgiwrap on a free loopback port, serving one CGI program as
// /cgi-bin/vantora, started and stopped by the test itself; or one of them
// serving the program as a persistent FastCGI application (the FastCGI
// kinds): nginx and Apache pass requests to "vantora --fastcgi" on a unix
// socket, which the harness starts beside them as the service manager
// would, and lighttpd starts the program itself.  Each server runs
// the configuration shipped under tools/server/ exactly as a site owner
// installs it, included from a small main configuration of the harness (port,
// folders, logs, user); only the program folder /srv/vantora and the fcgiwrap
// socket are moved into the test's folder.
//
// Everything lives in a fresh folder under the system's temporary directory:
//   site/                the program folder, outside the document root, as
//                        the install guide lays it out: the program's log,
//                        statistics, templates and upload files land here
//   site/vantora         what the server runs: a small shell wrapper that
//                        sets the extra environment, runs the program copy
//                        and appends its exit code to var/exits (for the
//                        FastCGI kinds it becomes the program copy, exec)
//   site/vantora.program the copy of the program (its files take their names
//                        from "vantora", the name without the extension)
//   htdocs/              the document root
//   var/                 the server's configuration, logs, sockets, pid file
// When the test runs as root the servers and the CGI run as "nobody", which
// owns site/ and var/ (nothing is opened to everyone).  The destructor stops
// the server (and fcgiwrap) by process id and removes the folder.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace vantora {

// One HTTP response exactly as curl received it.
struct HttpResponse {
  int curl_exit = -1;       // 0 when curl got a complete response
  std::string raw;          // status line, header lines, empty line, body
  std::string status_line;  // without CR LF, e.g. "HTTP/1.0 200 OK"
  std::string headers;      // the header lines after the status line, each with CR LF
  std::string body;
  std::string curl_errors;  // curl's own messages

  // The value of the first header line with this name (any letter case), or
  // empty.
  std::string Header(const std::string& name) const;
};

class WebServer {
 public:
  enum class Kind { kLighttpd, kApache, kNginx, kNginxFastCgi, kLighttpdFastCgi, kApacheFastCgi };

  struct Options {
    Kind kind = Kind::kLighttpd;
    std::string program;                             // absolute path of the CGI program to copy
    std::string script = "vantora";                  // its name under /cgi-bin/ (only "vantora")
    std::map<std::string, std::string> environment;  // extra CGI variables
    // FastCGI kinds started by the harness (nginx, Apache): arguments after
    // "--fastcgi SOCKET", e.g. {"--threads", "1"}.
    std::vector<std::string> arguments = {};
  };

  // Starts the server and waits until it accepts connections.  Returns null
  // and an explanation (with the server's error log) in *error on failure.
  static std::unique_ptr<WebServer> Start(const Options& options, std::string* error);
  // True when the server's program is installed on this machine.
  static bool Installed(Kind kind);
  static const char* KindName(Kind kind);
  // The file of tools/server/ that configures this server for the program.
  static const char* ShippedConfigName(Kind kind);
  // The program runs as a persistent FastCGI application.
  static bool IsFastCgi(Kind kind);

  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>/cgi-bin/<script>", then "?" and the query when
  // it is not empty.
  std::string Url(const std::string& query = std::string()) const;
  // "http://127.0.0.1:<port>" + path.
  std::string PathUrl(const std::string& path) const;
  // The working folder, the program folder and the program copy in it.
  const std::string& Dir() const { return dir_; }
  std::string ProgramDir() const { return dir_ + "/site"; }
  std::string ProgramPath() const { return ProgramDir() + "/" + options_.script + ".program"; }

  // Sends one HTTP/1.0 request with curl to Url(query); curl_args come
  // before the URL (e.g. {"--data-binary", "@file"} or {"-F", "f=@path"}).
  HttpResponse Request(const std::string& query,
                       const std::vector<std::string>& curl_args = {}) const;
  // The same for any address.
  HttpResponse Fetch(const std::string& url, const std::vector<std::string>& curl_args = {}) const;

  // Exit codes of the CGI processes that have ended, in order of ending.
  // Waits (up to 20 s) until at least `count` have been recorded.
  std::vector<int> ExitCodes(size_t count) const;

  // The server's error log followed by its standard error: what the server
  // reports, and what the CGI programs write to their standard error (Apache
  // puts it into the error log, lighttpd onto its own standard error).
  std::string ErrorLog() const;

  // FastCGI kinds: the application's process (found by its program file when
  // lighttpd started it), or -1.
  pid_t ApplicationPid() const;
  // FastCGI kinds the harness started the application for: ends it with
  // SIGTERM (when it still runs) and returns its exit code, -1 when a signal
  // ended it; waits at most 30 seconds, then kills it.
  int StopApplication();

 private:
  WebServer() = default;
  bool Launch(std::string* error);
  bool StartFcgiwrap(std::string* error);
  bool StartApplication(std::string* error);
  void Stop();

  Options options_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  pid_t helper_pid_ = -1;  // fcgiwrap behind nginx
  pid_t app_pid_ = -1;     // vantora --fastcgi behind nginx or Apache
};

// Test messages name a server kind by its name.
inline void PrintTo(WebServer::Kind kind, std::ostream* os) { *os << WebServer::KindName(kind); }

// Starts a program with arguments and the test process's environment, its
// standard input read from stdin_path and its standard output and error
// going to the given files (each empty: /dev/null).  Returns its process id,
// or -1.
pid_t StartProgram(const std::vector<std::string>& argv, const std::string& stdin_path,
                   const std::string& stdout_path, const std::string& stderr_path);
// Waits for a started program and returns its exit code, or -1 when it was
// ended by a signal.
int WaitProgram(pid_t pid);
// StartProgram, then WaitProgram (-1 also when it could not start).
int RunProgram(const std::vector<std::string>& argv, const std::string& stdout_path,
               const std::string& stderr_path, const std::string& stdin_path = std::string());

std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace vantora

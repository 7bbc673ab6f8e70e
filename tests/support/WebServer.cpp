#include "support/WebServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vantora {
namespace {

namespace fs = std::filesystem;

constexpr char kLighttpd[] = "/usr/sbin/lighttpd";
constexpr char kApache[] = "/usr/sbin/apache2";
constexpr char kApacheModules[] = "/usr/lib/apache2/modules";
constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr char kFcgiwrap[] = "/usr/sbin/fcgiwrap";
constexpr char kNginxFastcgiParams[] = "/etc/nginx/fastcgi_params";
constexpr char kSetpriv[] = "/usr/bin/setpriv";

// Quotes a text for /bin/sh (single quotes, with embedded ones closed and
// reopened).
std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// A loopback port that was free a moment ago.
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdout_path,
            const std::string& stderr_path, const std::string& stdin_path = std::string()) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1,
                                   stdout_path.empty() ? "/dev/null" : stdout_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2,
                                   stderr_path.empty() ? "/dev/null" : stderr_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The server gets a process group of its own, so a terminal's Ctrl-C aimed
  // at the test does not reach it before the test has stopped it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigset_t defaults;
  sigfillset(&defaults);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// The shipped configuration of a server (tools/server/), with the program
// folder and the fcgiwrap socket it names moved into the test's folder.
// Everything else stays as a site owner installs it.
bool ShippedConfig(const char* file, const std::string& dir, std::string* text,
                   std::string* error) {
  const std::string path = std::string(VANTORA_SOURCE_DIR) + "/tools/server/" + file;
  *text = ReadWholeFile(path);
  if (text->empty()) {
    *error = "cannot read " + path;
    return false;
  }
  const std::pair<std::string, std::string> moves[] = {
      {"/srv/vantora", dir + "/site"},
      {"/run/fcgiwrap.socket", dir + "/var/fcgiwrap.sock"},
      {"/run/vantora/vantora.sock", dir + "/var/vantora.sock"},
      {"/run/lighttpd/vantora-fastcgi.sock", dir + "/var/vantora-fastcgi.sock"},
  };
  for (const auto& [from, to] : moves) {
    for (size_t at = text->find(from); at != std::string::npos;
         at = text->find(from, at + to.size())) {
      text->replace(at, from.size(), to);
    }
  }
  return true;
}

// The server's own part of the configuration: address, folders, logs and
// user, as a distribution's main configuration file would set them; the
// shipped configuration is included from it.
std::string LighttpdConfig(const std::string& dir, int port, bool as_nobody) {
  std::ostringstream conf;
  conf << "server.document-root = \"" << dir << "/htdocs\"\n"
       << "server.bind = \"127.0.0.1\"\n"
       << "server.port = " << port << "\n"
       << "server.errorlog = \"" << dir << "/var/error.log\"\n"
       << "server.upload-dirs = (\"" << dir << "/var\")\n"
       << "server.max-request-size = 65536\n"  // KiB
       << "mimetype.assign = (\".html\" => \"text/html\")\n"
       << "include \"" << dir << "/var/vantora.conf\"\n";
  if (as_nobody) conf << "server.username = \"nobody\"\nserver.groupname = \"nogroup\"\n";
  return conf.str();
}

std::string ApacheConfig(const std::string& dir, int port, bool as_nobody, bool fastcgi) {
  std::ostringstream conf;
  conf << "ServerRoot \"" << dir << "/var\"\n"
       << "ServerName 127.0.0.1\n"
       << "Listen 127.0.0.1:" << port << "\n"
       << "PidFile \"" << dir << "/var/apache.pid\"\n"
       << "DefaultRuntimeDir \"" << dir << "/var\"\n"
       << "ErrorLog \"" << dir << "/var/error.log\"\n"
       << "LogLevel warn\n";
  std::vector<std::string> modules = {"mpm_event", "authz_core", "alias", "mime", "cgid"};
  if (fastcgi) modules.insert(modules.end(), {"proxy", "proxy_fcgi"});
  for (const std::string& module : modules) {
    conf << "LoadModule " << module << "_module " << kApacheModules << "/mod_" << module << ".so\n";
  }
  if (as_nobody) conf << "User nobody\nGroup nogroup\n";
  conf << "ScriptSock \"" << dir << "/var/cgid.sock\"\n"
       << "StartServers 1\n"
       << "TypesConfig /dev/null\nAddType text/html .html\n"
       << "DocumentRoot \"" << dir << "/htdocs\"\n"
       << "<Directory \"" << dir << "/htdocs\">\n  Require all granted\n</Directory>\n"
       << "Include \"" << dir << "/var/vantora.conf\"\n";
  return conf.str();
}

std::string NginxConfig(const std::string& dir, int port, bool as_nobody) {
  std::ostringstream conf;
  if (as_nobody) conf << "user nobody nogroup;\n";
  conf << "worker_processes 1;\n"
       << "pid \"" << dir << "/var/nginx.pid\";\n"
       << "error_log \"" << dir << "/var/error.log\" warn;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n"
       << "  access_log off;\n"
       << "  types { text/html html; }\n"
       << "  client_body_temp_path \"" << dir << "/var/nginx-body\";\n"
       << "  client_max_body_size 64m;\n";
  for (const char* temp : {"proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path \"" << dir << "/var/nginx-" << temp << "\";\n";
  }
  conf << "  server {\n"
       << "    listen 127.0.0.1:" << port << ";\n"
       << "    root \"" << dir << "/htdocs\";\n"
       << "    include \"" << dir << "/var/vantora.conf\";\n"
       << "  }\n"
       << "}\n";
  return conf.str();
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

pid_t StartProgram(const std::vector<std::string>& argv, const std::string& stdin_path,
                   const std::string& stdout_path, const std::string& stderr_path) {
  return Spawn(argv, stdout_path, stderr_path, stdin_path);
}

int RunProgram(const std::vector<std::string>& argv, const std::string& stdout_path,
               const std::string& stderr_path, const std::string& stdin_path) {
  const pid_t pid = Spawn(argv, stdout_path, stderr_path, stdin_path);
  if (pid < 0) return -1;
  return WaitProgram(pid);
}

int WaitProgram(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HttpResponse::Header(const std::string& name) const {
  std::istringstream lines(headers);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon != name.size()) continue;
    if (strncasecmp(line.c_str(), name.c_str(), colon) != 0) continue;
    size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    return line.substr(start);
  }
  return std::string();
}

bool WebServer::Installed(Kind kind) {
  switch (kind) {
    case Kind::kLighttpd:
    case Kind::kLighttpdFastCgi:
      return access(kLighttpd, X_OK) == 0;
    case Kind::kApache:
      return access(kApache, X_OK) == 0;
    case Kind::kApacheFastCgi:
      return access(kApache, X_OK) == 0 &&
             access((std::string(kApacheModules) + "/mod_proxy_fcgi.so").c_str(), R_OK) == 0;
    case Kind::kNginx:
      return access(kNginx, X_OK) == 0 && access(kFcgiwrap, X_OK) == 0;
    case Kind::kNginxFastCgi:
      return access(kNginx, X_OK) == 0;
  }
  return false;
}

const char* WebServer::KindName(Kind kind) {
  switch (kind) {
    case Kind::kLighttpd:
      return "lighttpd";
    case Kind::kApache:
      return "apache";
    case Kind::kNginx:
      return "nginx";
    case Kind::kNginxFastCgi:
      return "nginx_fastcgi";
    case Kind::kLighttpdFastCgi:
      return "lighttpd_fastcgi";
    case Kind::kApacheFastCgi:
      return "apache_fastcgi";
  }
  return "";
}

const char* WebServer::ShippedConfigName(Kind kind) {
  switch (kind) {
    case Kind::kLighttpd:
      return "lighttpd-vantora.conf";
    case Kind::kApache:
      return "apache-vantora.conf";
    case Kind::kNginx:
      return "nginx-vantora.conf";
    case Kind::kNginxFastCgi:
      return "nginx-vantora-fastcgi.conf";
    case Kind::kLighttpdFastCgi:
      return "lighttpd-vantora-fastcgi.conf";
    case Kind::kApacheFastCgi:
      return "apache-vantora-fastcgi.conf";
  }
  return "";
}

bool WebServer::IsFastCgi(Kind kind) {
  return kind == Kind::kNginxFastCgi || kind == Kind::kLighttpdFastCgi ||
         kind == Kind::kApacheFastCgi;
}

std::unique_ptr<WebServer> WebServer::Start(const Options& options, std::string* error) {
  std::unique_ptr<WebServer> server(new WebServer());
  server->options_ = options;
  if (!Installed(options.kind)) {
    *error = std::string(KindName(options.kind)) + " is not installed";
    return nullptr;
  }
  if (options.script != "vantora") {
    *error = "the shipped configurations serve the program as /cgi-bin/vantora only";
    return nullptr;
  }
  std::string pattern = (fs::temp_directory_path() / "vantora-web.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot create a temporary folder";
    return nullptr;
  }
  server->dir_ = pattern;
  const std::string& dir = server->dir_;
  std::error_code ec;
  for (const char* sub : {"/site", "/htdocs", "/var"}) fs::create_directories(dir + sub, ec);
  chmod(dir.c_str(), 0755);
  // As the install guide says: the program's folder (and here the server's
  // working folder) belongs to the user the CGI runs as; nothing is opened
  // to everyone.
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) {
      *error = "no user nobody or group nogroup";
      return nullptr;
    }
    for (const char* sub : {"/site", "/var"}) {
      if (chown((dir + sub).c_str(), nobody->pw_uid, nogroup->gr_gid) != 0) {
        *error = std::string("cannot give ") + dir + sub + " to nobody";
        return nullptr;
      }
    }
  }
  fs::copy_file(options.program, server->ProgramPath(), fs::copy_options::overwrite_existing, ec);
  if (ec) {
    *error = "cannot copy " + options.program + ": " + ec.message();
    return nullptr;
  }
  chmod(server->ProgramPath().c_str(), 0755);

  std::ostringstream wrapper;
  // The server may signal the wrapper once the response is complete (lighttpd
  // does when the program announced a content length); the trap lets the
  // wrapper still wait for the program and record its exit.  A trapped
  // signal is reset to its default in the program itself.
  wrapper << "#!/bin/sh\ntrap : TERM\n";
  for (const auto& [name, value] : options.environment) {
    wrapper << "export " << name << "=" << ShellQuote(value) << "\n";
  }
  if (IsFastCgi(options.kind)) {
    // A FastCGI application is the process the server or the harness
    // started: signals and the listening socket reach the program itself.
    wrapper << "exec " << ShellQuote(server->ProgramPath()) << " \"$@\"\n";
  } else {
    wrapper << ShellQuote(server->ProgramPath()) << " \"$@\"\ncode=$?\n"
            << "echo \"$code\" >> " << ShellQuote(dir + "/var/exits") << "\nexit \"$code\"\n";
  }
  const std::string wrapper_path = server->ProgramDir() + "/" + options.script;
  WriteWholeFile(wrapper_path, wrapper.str());
  chmod(wrapper_path.c_str(), 0755);

  std::string shipped;
  if (!ShippedConfig(ShippedConfigName(options.kind), dir, &shipped, error)) return nullptr;
  WriteWholeFile(dir + "/var/vantora.conf", shipped);
  if (options.kind == Kind::kNginx || options.kind == Kind::kNginxFastCgi) {
    // The shipped block includes the distribution's FastCGI parameters by
    // the name nginx resolves beside its main configuration file.
    fs::create_symlink(kNginxFastcgiParams, dir + "/var/fastcgi_params", ec);
  }

  // A port can be taken between choosing and binding it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (server->Launch(error)) return server;
  }
  return nullptr;
}

namespace {

// Starts a program that serves on a unix socket (fcgiwrap, or the program as
// a FastCGI application) as the user the servers' workers run as, and waits
// until its socket exists.  Returns its process id, or -1 with the reason in
// *error; `name` names it there and `log_base` is the path of its .out and
// .err files without the extension.
pid_t StartSocketServer(std::vector<std::string> argv, const std::string& socket_path,
                        const std::string& name, const std::string& log_base, std::string* error) {
  if (geteuid() == 0) {
    // As a distribution's service does: not as root, but as the user whose
    // workers use the socket.
    argv.insert(argv.begin(), {kSetpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  }
  pid_t pid = Spawn(argv, log_base + ".out", log_base + ".err");
  if (pid < 0) {
    *error = "cannot start " + name;
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    struct stat info {};
    if (stat(socket_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return pid;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *error = name + " ended at start-up:\n" + ReadWholeFile(log_base + ".err");
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *error = name + " made no socket";
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

bool WebServer::StartFcgiwrap(std::string* error) {
  const std::string socket_path = dir_ + "/var/fcgiwrap.sock";
  unlink(socket_path.c_str());
  helper_pid_ = StartSocketServer({kFcgiwrap, "-c", "2", "-s", "unix:" + socket_path}, socket_path,
                                  "fcgiwrap", dir_ + "/var/fcgiwrap", error);
  return helper_pid_ > 0;
}

bool WebServer::StartApplication(std::string* error) {
  const std::string socket_path = dir_ + "/var/vantora.sock";
  std::vector<std::string> argv = {ProgramDir() + "/" + options_.script, "--fastcgi", socket_path};
  argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
  app_pid_ = StartSocketServer(argv, socket_path, "the FastCGI application",
                               dir_ + "/var/application", error);
  return app_pid_ > 0;
}

bool WebServer::Launch(std::string* error) {
  port_ = FreeLoopbackPort();
  if (port_ == 0) {
    *error = "no free loopback port";
    return false;
  }
  const bool as_nobody = geteuid() == 0;
  const std::string config = dir_ + "/var/server.conf";
  std::vector<std::string> argv;
  switch (options_.kind) {
    case Kind::kLighttpd:
    case Kind::kLighttpdFastCgi:
      WriteWholeFile(config, LighttpdConfig(dir_, port_, as_nobody));
      argv = {kLighttpd, "-D", "-f", config};
      break;
    case Kind::kApache:
    case Kind::kApacheFastCgi:
      if (options_.kind == Kind::kApacheFastCgi && app_pid_ < 0 && !StartApplication(error)) {
        return false;
      }
      WriteWholeFile(config,
                     ApacheConfig(dir_, port_, as_nobody, options_.kind == Kind::kApacheFastCgi));
      argv = {kApache, "-f", config, "-DFOREGROUND"};
      break;
    case Kind::kNginx:
    case Kind::kNginxFastCgi:
      if (options_.kind == Kind::kNginx && helper_pid_ < 0 && !StartFcgiwrap(error)) return false;
      if (options_.kind == Kind::kNginxFastCgi && app_pid_ < 0 && !StartApplication(error)) {
        return false;
      }
      WriteWholeFile(config, NginxConfig(dir_, port_, as_nobody));
      argv = {kNginx, "-p",   dir_ + "/var", "-e",         dir_ + "/var/error.log",
              "-c",   config, "-g",          "daemon off;"};
      break;
  }
  pid_ = Spawn(argv, dir_ + "/var/server.out", dir_ + "/var/server.err");
  if (pid_ < 0) {
    *error = "cannot start " + argv[0];
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = std::string(KindName(options_.kind)) + " ended at start-up:\n" +
               ReadWholeFile(dir_ + "/var/server.err") + ErrorLog();
      return false;
    }
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *error = std::string(KindName(options_.kind)) + " did not accept connections:\n" + ErrorLog();
  Stop();
  return false;
}

namespace {

// Ends a process the harness started (and the processes of its group: the
// workers of a server) and reaps it, by force after 15 seconds.
void EndProcessGroup(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

void WebServer::Stop() {
  EndProcessGroup(pid_);
  pid_ = -1;
  EndProcessGroup(helper_pid_);
  helper_pid_ = -1;
  EndProcessGroup(app_pid_);
  app_pid_ = -1;
}

pid_t WebServer::ApplicationPid() const {
  if (app_pid_ > 0) return app_pid_;
  if (!IsFastCgi(options_.kind)) return -1;
  // Started by the server: the process whose program file is the copy.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (fs::read_symlink(entry.path() / "exe", ec) == ProgramPath()) return std::stoi(name);
  }
  return -1;
}

int WebServer::StopApplication() {
  if (app_pid_ <= 0) return -1;
  kill(app_pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (waitpid(app_pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(app_pid_, SIGKILL);
      waitpid(app_pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  app_pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

WebServer::~WebServer() {
  Stop();
  if (!dir_.empty() && std::getenv("VANTORA_KEEP_WEB_DIR") == nullptr) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

std::string WebServer::Url(const std::string& query) const {
  std::string url = PathUrl("/cgi-bin/" + options_.script);
  if (!query.empty()) url += "?" + query;
  return url;
}

std::string WebServer::PathUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

HttpResponse WebServer::Request(const std::string& query,
                                const std::vector<std::string>& curl_args) const {
  return Fetch(Url(query), curl_args);
}

HttpResponse WebServer::Fetch(const std::string& url,
                              const std::vector<std::string>& curl_args) const {
  static int counter = 0;
  const std::string base = dir_ + "/var/curl" + std::to_string(++counter);
  std::vector<std::string> argv = {"/usr/bin/curl", "-s",         "-S", "-i",
                                   "--http1.0",     "--max-time", "60"};
  argv.insert(argv.end(), curl_args.begin(), curl_args.end());
  argv.push_back(url);
  HttpResponse response;
  response.curl_exit = RunProgram(argv, base + ".out", base + ".err");
  response.raw = ReadWholeFile(base + ".out");
  response.curl_errors = ReadWholeFile(base + ".err");
  const size_t line_end = response.raw.find("\r\n");
  const size_t head_end = response.raw.find("\r\n\r\n");
  if (line_end != std::string::npos && head_end != std::string::npos) {
    response.status_line = response.raw.substr(0, line_end);
    response.headers = response.raw.substr(line_end + 2, head_end + 2 - (line_end + 2));
    response.body = response.raw.substr(head_end + 4);
  }
  return response;
}

std::vector<int> WebServer::ExitCodes(size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    std::vector<int> codes;
    std::istringstream lines(ReadWholeFile(dir_ + "/var/exits"));
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty()) codes.push_back(std::atoi(line.c_str()));
    }
    if (codes.size() >= count || std::chrono::steady_clock::now() >= deadline) return codes;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string WebServer::ErrorLog() const {
  // lighttpd copies the CGI programs' standard error to its own standard
  // error rather than to the error log file.
  return ReadWholeFile(dir_ + "/var/error.log") + ReadWholeFile(dir_ + "/var/server.err");
}

}  // namespace vantora

// The two HTML answers of the main form: the examine page and the template
// page, both ending with the footer.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <stdexcept>

#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "app/VantoraStatClassify.h"
#include "app/VantoraStatFiles.h"
#include "app/VantoraStatReports.h"
#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

// The examine page lists at most this many visitors.
constexpr int kExamineRows = 1000;

std::string Field(const std::string& name) {
  const std::string value = GetFormField(name, "");
  return value == kNotAvailable ? std::string() : value;
}

// The canonical form of an existing path, or empty.
std::string CanonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

bool IsSuffixText(const std::string& suffix) {
  if (suffix.empty()) return false;
  for (char c : suffix) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         LowerCase(text.substr(text.size() - tail.size())) == LowerCase(tail);
}

// A file's identity, so that a link or a second name of a file is known as
// that file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool exists = false;
};

FileIdentity IdentityOf(const std::string& path) {
  struct stat info;
  if (path.empty() || stat(path.c_str(), &info) != 0) return FileIdentity();
  return FileIdentity{info.st_dev, info.st_ino, true};
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

// True when path lies inside folder (both canonical).
bool IsInside(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  const std::string inside = folder == "/" ? folder : folder + "/";
  return path.compare(0, inside.size(), inside) == 0;
}

// Whether a file name may name a template: it ends in ".htm" or ".html" (any
// letter case), or it is the program's name with a country suffix in place
// of its extension.
bool IsTemplateName(const std::string& program_file, const std::string& name) {
  if (EndsWithNoCase(name, ".htm") || EndsWithNoCase(name, ".html")) return true;
  const std::string base = ExtractFileName(ChangeFileExt(program_file, ""));
  const std::string file = ExtractFileName(name);
  return file.size() > base.size() + 1 && file.compare(0, base.size(), base) == 0 &&
         file[base.size()] == '.' && IsSuffixText(file.substr(base.size() + 1));
}

}  // namespace

bool IsTemplateFile(const std::string& program_file, const std::string& path) {
  if (!IsTemplateName(program_file, path)) return false;
  const std::string target = CanonicalPath(path);
  struct stat info;
  if (target.empty() || stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const FileIdentity file{info.st_dev, info.st_ino, true};
  // The program's own files are never pages: the program, its statistics
  // files, its request log with everything in the log folder, and the
  // folder of the CGI server's request and answer files.
  const std::string base = StatisticsBasePath(program_file);
  for (const std::string& own :
       {program_file, std::string("/proc/self/exe"), base + ".stat1", base + ".stat2"}) {
    if (SameFile(file, IdentityOf(own))) return false;
  }
  const std::string folder = CanonicalPath(ExtractFileDir(program_file));
  const std::string log_file = LogFilePath();
  if (SameFile(file, IdentityOf(log_file))) return false;
  const std::string log_folder = CanonicalPath(ExtractFileDir(log_file));
  if (log_folder != folder && IsInside(target, log_folder)) return false;
  if (IsInside(target, CanonicalPath(ExtractFileDir(program_file) + "/Temp"))) return false;
  return true;
}

std::vector<std::string> FooterLines() {
  return {
      "<center>",
      "<table bgcolor=\"#ffffff\">",
      "<tr><td align=center><font color=\"BLACK\">",
      "<font size=2>Counted and reported by <a href=\"https://vantora.org/\">Vantora</a>, "
      "hit statistics for web sites.<br>",
      "Vantora is free software, built on the <a href=\"https://vantora.org/corvex/\">Corvex</a> "
      "web request components.<br>",
      "Its complete source code is published at "
      "<a href=\"https://vantora.org/source/\">vantora.org/source</a>.",
      "</font>",
      "</td></tr>",
      "</table>",
      "</table>",
      "</table>",
      "</center>",
  };
}

std::string ConfinedTemplatePath(const std::string& program_file, const std::string& name) {
  if (name.empty() || IsAbsolutePath(name)) return std::string();
  const std::string folder = CanonicalPath(ExtractFileDir(program_file));
  const std::string given = ExtractFileDir(program_file) + "/" + name;
  const std::string path = CanonicalPath(given);
  if (path.empty() || !IsInside(path, folder)) return std::string();
  if (!IsTemplateFile(program_file, given)) return std::string();
  return path;
}

std::string DefaultTemplatePath(const std::string& program_file, const std::string& host_suffix) {
  if (IsSuffixText(host_suffix)) {
    const std::string country = ChangeFileExt(program_file, "." + LowerCase(host_suffix));
    if (IsInside(CanonicalPath(country), CanonicalPath(ExtractFileDir(program_file))) &&
        IsTemplateFile(program_file, country)) {
      return country;
    }
  }
  return ChangeFileExt(program_file, ".htm");
}

bool IsLocalAddress(const std::string& remote_addr) {
  return remote_addr.find("127.0.0.1") != std::string::npos ||
         remote_addr.find("localhost") != std::string::npos || remote_addr == "::1";
}

void TFormMain::ExaminePage() {
  if (SiteStatistic == nullptr) {
    throw std::logic_error("The examine page needs the statistics module SiteStatistic");
  }
  static const struct {
    const char* field;
    int kind;
  } kFilters[] = {{"RE", kFilterReferringHost},
                  {"CO", kFilterCountry},
                  {"RA", kFilterAddress},
                  {"RD", kFilterDomain}};
  std::string value;
  int kind = kFilterNone;
  for (const auto& filter : kFilters) {
    value = Field(filter.field);
    if (!value.empty()) {
      kind = filter.kind;
      break;
    }
  }

  SiteStatistic->LoadStatistics(/*load_visitors=*/true, /*compute_counters=*/false);
  ComposeHeader();
  SendLn("<html><body bgcolor=\"#eeffff\"><center>");
  SendLn("<table cellspacing=0 cellpadding=0 border width=\"100%\"><tr><td>");
  SendLn("<table border=0 width=\"100%\" bgcolor=\"white\" cellspacing=0 cellpadding=0>");
  VisitorTable(value, kind, kExamineRows);
  SendLn("</table></td></tr></table>");
  SendLn("<br><form method=\"post\" action=\"" + HtmlEscape(ScriptName()) +
         "\"><input type=submit value=\"&lt;-----\"></form><br>&nbsp;</body></html>");
  end_html_->Execute();
}

void TFormMain::TemplatePage() {
  if (SiteStatistic == nullptr) {
    throw std::logic_error("The template page needs the statistics module SiteStatistic");
  }
  start_html_->Execute();

  const std::string name = Field("File");
  std::string file;
  if (!name.empty()) {
    // Only files inside the program's folder are templates; any other name
    // counts as a file that does not exist.
    WriteLog(IsAbsolutePath(name) ? name : ProgramFolder() + "/" + name);
    file = ConfinedTemplatePath(ModuleFileName(), name);
  } else {
    WriteLog("");
  }
  if (file.empty()) {
    WriteLog("a");
    const std::string address = RemoteAddr();
    std::string suffix = "htm";
    if (!IsLocalAddress(address)) {
      // An empty name (no name, or the lookup ran past its deadline) leaves
      // the suffix empty, which chooses the ".htm" template.
      suffix = DomainSuffix(SiteStatistic->ResolveHostName(address));
    }
    file = DefaultTemplatePath(ModuleFileName(), suffix);
  }
  // The header comes first whatever the template begins with (a byte-order
  // mark, a blank line, a tag), and only once the template could be opened:
  // a template that cannot be read leaves the response empty, which the
  // request cycle answers with an error status (HttpFileFilter1's
  // OnFileOpened composes the header).
  // The component serves every thread: the file is this request's own.
  http_file_filter1_->Execute(file);
  end_html_->Execute();
}

}  // namespace vantora

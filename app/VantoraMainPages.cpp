// The two HTML answers of the main form: the examine page and the template
// page, both ending with the footer.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <stdexcept>

#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "app/VantoraStatClassify.h"
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

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
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

}  // namespace

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

std::string ConfinedTemplatePath(const std::string& program_folder, const std::string& name) {
  if (name.empty() || IsAbsolutePath(name)) return std::string();
  const std::string folder = CanonicalPath(program_folder);
  if (folder.empty()) return std::string();
  const std::string path = CanonicalPath(program_folder + "/" + name);
  if (path.empty() || !IsRegularFile(path)) return std::string();
  const std::string inside = folder == "/" ? folder : folder + "/";
  if (path.compare(0, inside.size(), inside) != 0) return std::string();
  return path;
}

std::string DefaultTemplatePath(const std::string& program_file, const std::string& host_suffix) {
  if (IsSuffixText(host_suffix)) {
    const std::string country = ChangeFileExt(program_file, "." + LowerCase(host_suffix));
    if (IsRegularFile(country)) return country;
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
    file = ConfinedTemplatePath(ProgramFolder(), name);
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
  http_file_filter1_->SetFileName(file);
  http_file_filter1_->Execute();
  end_html_->Execute();
}

}  // namespace vantora

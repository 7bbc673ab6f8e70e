// The main form: the program's request handler.
//
// TFormMain owns the engine facade, whose request handler decides among the
// program's answers: the counting picture (which also records the hit), the
// examine page (the last visitors, optionally filtered) and the template page
// (a template file of the site owner with its tags answered by counters and
// report tables).  Its components carry the settings the program runs with.
//
// Requests reach the handler on the thread that serves them; the form itself
// keeps nothing between requests.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Component.h"

namespace vantora {

class TGeneralHttpEngine;
class THttpCookie;
class THttpFileFilter;
class THttpMemoFilter;

// A picture component: a bitmap owned by the form.
class TImage : public TComponent {
 public:
  TImage(TComponent* owner, std::string name) : TComponent(owner, std::move(name)) {}
  TBitmap& Picture() { return picture_; }
  const TBitmap& Picture() const { return picture_; }

 private:
  TBitmap picture_;
};

// The numbers of a report tag such as "COUNTRYSTAT_500_10": the visitors
// examined (or rows, for the visitor table) and the most rows.
struct TReportArgs {
  int a = 100;
  int b = 100;
};

// No '_' in the text: both 100.  Otherwise the text after the first '_':
// without a further '_' both take its integer value; with one, a is the
// integer before it and b the integer of everything after it.  A part that
// is not an integer counts as 100.
TReportArgs ParseReportArgs(const std::string& tag);

// The counting picture: 35 x 35 pixels, fewer than 256 colours.
void DrawCountingPicture(TBitmap& bitmap);

// The footer lines that end both pages.
std::vector<std::string> FooterLines();

// The averages of the template tags.  q is the display-zone present moment,
// now the server's, first_day the first day with hits (display zone).  The
// week divides by the days that have data up to 7, rounded half to even;
// the month and year do the same until the site is that old (counted in
// server time), then divide by 30 or 365 and drop the fraction.
int Average7D(int hits_7d, double q, double first_day);
int Average30D(int hits_30d, double q, double now, double first_day);
int Average365D(int hits_365d, double q, double now, double first_day);

// Whether the file at path may be answered as a template of the program
// program_file: a regular file (also behind a link) whose name ends in
// ".htm" or ".html" (any letter case) or is the program's name with a
// country suffix ("vantora.de"), and which is none of the program's own
// files: the program, its statistics files, its request log or anything in
// the log folder (unless that is the program's folder), or anything in the
// CGI server's folder "Temp".  A visitor never gets those as a page.
bool IsTemplateFile(const std::string& program_file, const std::string& path);

// Where a "File" field value leads: the file of that name in the program's
// folder, as a canonical path, when it is a template (IsTemplateFile).  A
// name that is empty or absolute, that does not exist, that is no template,
// or that leads outside the folder (through ".." or a symbolic link) gives
// empty.
std::string ConfinedTemplatePath(const std::string& program_file, const std::string& name);

// The default template for a visitor: program_file with the extension of
// the visitor's country (host_suffix, e.g. "de") when that file is a
// template inside the program's folder, otherwise with ".htm".  A suffix
// with characters other than letters, digits and '-' is not looked for.
std::string DefaultTemplatePath(const std::string& program_file, const std::string& host_suffix);

// Whether a remote address is the local machine's: then no host-name lookup
// chooses the template.
bool IsLocalAddress(const std::string& remote_addr);

class TFormMain : public TComponent {
 public:
  // Creates the components with their stored settings and then loads the
  // form: the engine facade takes over request handling, and in a standard
  // CGI request process serves the request (and ends the process) inside the
  // constructor.  With load_engine false the facade is not loaded (tests
  // drive the handler through an engine of their own).
  explicit TFormMain(TComponent* owner, bool load_engine = true);
  ~TFormMain() override;

  // The handler of every request (the facade's OnExecRequest).
  void GeneralHttpEngine1ExecRequest(TComponent* sender);
  // The template filter's tag handler.  handled arrives true and is left
  // true for every name the program knows.
  void HttpFileFilter1HttpEntry(const std::string& entry_name, bool& handled);

  // The two pages; each writes the whole answer of the present request.
  void ExaminePage();
  void TemplatePage();

  TGeneralHttpEngine* GeneralHttpEngine1() const { return general_http_engine1_; }
  THttpFileFilter* HttpFileFilter1() const { return http_file_filter1_; }
  THttpMemoFilter* StartHtml() const { return start_html_; }
  THttpMemoFilter* EndHtml() const { return end_html_; }
  // The counting picture's image, drawn when it is first asked for: a page
  // or chart request never draws it.
  TImage* Image1() const;
  THttpCookie* HttpCookie1() const { return http_cookie1_; }

 private:
  // Counts the present request's visit unless the query or the no-count
  // cookie says otherwise.  query is the upper-cased query string.
  void CountVisit(const std::string& query);
  // Writes the value of a report tag (upper-cased name containing "STAT").
  void WriteReport(const std::string& tag);

  // Owned by this form (as components); the pointers are views.
  TGeneralHttpEngine* general_http_engine1_ = nullptr;
  THttpFileFilter* http_file_filter1_ = nullptr;
  THttpMemoFilter* start_html_ = nullptr;
  THttpMemoFilter* end_html_ = nullptr;
  TImage* image1_ = nullptr;
  mutable std::once_flag picture_drawn_;
  THttpCookie* http_cookie1_ = nullptr;
};

// Ends the response of the request served by the calling thread, when its
// adapter can: a standard CGI request process in normal mode closes its
// standard output, which tells the web server that the response is complete;
// a FastCGI request ends its answer and frees its place in the pool.
// Later output of the request is dropped.  A process that ends after the
// request then ignores the termination signals a web server sends to a CGI
// program still running after its response, so that the work after the
// response (recording the hit) is not cut off.  Returns whether the response
// was ended.
bool EndResponseEarly();

}  // namespace vantora

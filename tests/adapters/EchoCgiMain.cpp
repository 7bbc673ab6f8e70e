// The echo test program: the program's start-up with one main form whose
// engine facade echoes what the request brought.  The real-server tests run
// it behind lighttpd and Apache.
//
// The answer, after the automatic header:
//   <pre>
//   method=<REQUEST METHOD>
//   query=<query string>
//   script=<script name>
//   <field>=<value>                      for every field, in order
//   <field>_FILENAME=<path> size=<n> fingerprint=<hex> exists=<0|1>
//                                        for an uploaded file
//   </pre>
// The field "fail" makes the handler throw after the first line.  The
// environment variables ECHO_READ_LIMIT and ECHO_BUFFERED set AutoReadLimit
// and BufferedOutput of the facade.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "adapters/GenEng.h"
#include "app/VantoraStartup.h"
#include "engine/HttpEng.h"
#include "platform/Application.h"
#include "platform/Paths.h"
#include "tests/adapters/EchoCgi.h"

namespace vantora {
namespace {

void EchoRequest(TComponent* sender) {
  auto* engine = static_cast<THttpEngine*>(sender);
  SendLn("<pre>");
  SendLn("method=" + GetVar("REQUEST METHOD"));
  if (!GetFormField("fail", "").empty()) throw std::runtime_error("echo failure requested");
  SendLn("query=" + QueryString());
  SendLn("script=" + ScriptName());
  for (const std::string& name : engine->GetFieldNames()) {
    std::string line = name + "=" + GetFormField(name, "");
    const std::string suffix = "_FILENAME";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      const std::string path = GetFormField(name, "");
      std::ifstream in(path, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      char fingerprint[17];
      std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                    static_cast<unsigned long long>(Fingerprint(content.str())));
      line += " size=" + std::to_string(content.str().size()) + " fingerprint=" + fingerprint +
              " exists=" + (FileExists(path) ? "1" : "0");
    }
    SendLn(line);
  }
  SendLn("</pre>");
}

class TEchoForm : public TComponent {
 public:
  explicit TEchoForm(TComponent* owner) : TComponent(owner, "EchoForm") {
    auto* engine = new TGeneralHttpEngine(this);
    if (const char* limit = std::getenv("ECHO_READ_LIMIT")) {
      engine->SetAutoReadLimit(std::atoi(limit));
    }
    if (const char* buffered = std::getenv("ECHO_BUFFERED")) {
      engine->SetBufferedOutput(std::string(buffered) == "1");
    }
    engine->OnExecRequest = EchoRequest;
    engine->Loaded();
  }
};

}  // namespace
}  // namespace vantora

int main(int argc, char** argv) {
  return vantora::RunProgram(argc, argv, [](vantora::TApplication& application) {
    application.CreateForm<vantora::TEchoForm>();
  });
}

// A request engine for tests: variables, fields and the request body are set
// by the test, and every byte the engine would send to the server is kept in
// output(), so a test can run RunRequest and compare the exact response.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/HttpEng.h"

namespace vantora {

class FakeEngine : public THttpEngine {
 public:
  explicit FakeEngine(TComponent* owner = nullptr, std::string name = "FakeEngine")
      : THttpEngine(owner, std::move(name)) {}

  // Request variables by the engine's names ("SERVER SOFTWARE").  A missing
  // one reads as missing_value (empty unless the test sets the sentinel).
  std::map<std::string, std::string> variables;
  std::string missing_value;
  // The url-encoded request data that GetField and GetFieldNames search.
  std::string request_data;
  // The request body ReadData hands out, at most read_chunk bytes per call
  // when read_chunk > 0.  Once it is used up ReadData returns -1.  SetBody
  // also starts reading from the beginning again.
  std::string body;
  void SetBody(std::string text) {
    body = std::move(text);
    body_pos_ = 0;
  }
  int read_chunk = 0;
  // When set, ReadData calls this instead of reading body.
  std::function<int(void* buffer, int count)> body_reader;
  // IsActiveAdapter's answer.
  bool active = true;
  // The number of ExecRequest calls and FinishRequest calls seen.
  int exec_count = 0;
  int finish_count = 0;

  // Everything written to the server so far.
  const std::string& output() const { return output_; }
  void ClearOutput() { output_.clear(); }

  // Raises OnFirstExecRequest once per engine, then OnExecRequest and
  // OnLastExecRequest.
  void ExecRequest() override {
    ++exec_count;
    if (first_request_ && OnFirstExecRequest) {
      first_request_ = false;
      OnFirstExecRequest(this);
    }
    if (OnExecRequest) OnExecRequest(this);
    if (OnLastExecRequest) OnLastExecRequest(this);
  }

  void FinishRequest() override {
    THttpEngine::FinishRequest();
    ++finish_count;
  }

  void WriteOut(const void* bytes, int count) override {
    output_.append(static_cast<const char*>(bytes), static_cast<size_t>(count));
  }

  int ReadData(void* buffer, int count) override {
    if (body_reader) return body_reader(buffer, count);
    if (body_pos_ >= body.size()) return -1;
    size_t n = std::min(body.size() - body_pos_, static_cast<size_t>(count < 0 ? 0 : count));
    if (read_chunk > 0) n = std::min(n, static_cast<size_t>(read_chunk));
    std::memcpy(buffer, body.data() + body_pos_, n);
    body_pos_ += n;
    return static_cast<int>(n);
  }

  std::string GetVariable(const std::string& name) override {
    auto it = variables.find(name);
    return it == variables.end() ? missing_value : it->second;
  }

  std::string GetField(const std::string& name, const std::string& default_value) override {
    return FindField(request_data, name, default_value);
  }

  std::vector<std::string> GetFieldNames() override { return ListFieldNames(request_data); }

  bool IsActiveAdapter() override { return active; }

 private:
  std::string output_;
  size_t body_pos_ = 0;
  bool first_request_ = true;
};

}  // namespace vantora

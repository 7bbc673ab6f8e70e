// The FastCGI adapter: Vantora as a persistent FastCGI application.  The
// process stays loaded and serves the web server's requests on a pool of
// threads, each request through the engine's request cycle like any other
// adapter; request variables are the request's FastCGI parameters, the body
// is its input stream and the answer (CGI header lines, never a status line:
// the web server composes it) goes to its output stream.
//
// How a process becomes one (StartFastCgiUnit, adapters/FastCgiStartup.h,
// before any other adapter unit): a FastCGI process manager (lighttpd's mod_fastcgi, Apache's
// mod_fcgid, spawn-fcgi) starts the program with a listening socket as its
// standard input; or a person or a service manager starts it as
//   vantora --fastcgi ADDRESS [--threads N]
// where ADDRESS is a unix socket path or host:port.  The facade
// (adapters/GenEng.h) then creates a TFastCGIEngine, which serves until the
// program is asked to quit (SIGTERM, SIGINT, SIGHUP); StopFastCgiService()
// then lets the requests in flight finish before anything is destroyed.
//
// Threads.  `threads` requests are accepted and answered at once.  A request
// whose answer is complete before its work is (the counting picture: the
// picture is sent, then the hit is recorded, with a host-name lookup that may
// take seconds) gives its place back as soon as its answer has ended
// (EndResponse), so that slow lookups never hold back the answers of other
// requests; spare threads, kSpareThreads of them, take the places so freed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapters/FastCgiStartup.h"
#include "engine/HttpEng.h"

struct FCGX_Request;

namespace vantora {

// Threads beyond the pool that finish the work of requests whose answers
// have ended.
inline constexpr int kSpareThreads = 32;

// The adapter's per-thread fields.
struct FastCgiThreadState {
  // The request this thread serves; null between requests.  Not owned.
  FCGX_Request* request = nullptr;
  // The request's parameters as "NAME=value", copied when it is accepted, so
  // that they outlive the end of its answer.
  std::vector<std::string> variables;
  // The url-encoded field data of the present request (query string or body).
  std::string request_data;
  // The answer is complete towards the web server; later output is dropped.
  bool response_ended = false;
  // This thread holds one of the pool's places.
  bool holds_place = false;
};

// The calling thread's record.
FastCgiThreadState& FastCgiState();

class TFastCGIEngine : public THttpEngine {
 public:
  // The arguments after the socket and pool size are the facade's, in its
  // order.  The engine does not own the socket until Start.
  TFastCGIEngine(TComponent* owner, int listen_socket, int threads, bool buffered_output,
                 bool no_cache, std::string temp_dir, std::string session_name, int auto_read_limit,
                 bool auto_read_input, std::string auto_content_type, bool auto_http_header,
                 TRequestErrorEvent on_request_error, TLastExecRequestEvent on_last_exec_request,
                 TExecRequestEvent on_exec_request, TFirstExecRequestEvent on_first_exec_request);
  // Stop().
  ~TFastCGIEngine() override;

  // Starts the threads; requests are served from then on.
  void Start();
  // Accepts no further request, waits for the requests in flight to finish
  // (their answers and their work), joins the threads and closes the socket.
  // Safe to call more than once.
  void Stop();

  // Ends the answer of the calling thread's request towards the web server
  // now, and gives its place in the pool back.  The request's variables stay
  // readable; later output is dropped.  Returns false when the thread serves
  // no request of this engine or its answer has ended already.
  bool EndResponse();

  // Reads the request data, then raises OnFirstExecRequest (once per engine)
  // and OnExecRequest.  A persistent process knows no last request, so
  // OnLastExecRequest is never raised.
  void ExecRequest() override;
  // Base clean-up; then the answer ends (EndResponse).
  void FinishRequest() override;
  // No status line: the web server composes it from the header lines.
  void WriteStatusLine() override;
  // A "Status:" header line, from which the web server composes the status.
  void WriteErrorStatus() override;
  // Reads exactly count body bytes.  Returns count, or -1 when the body ended
  // or failed first.
  int ReadData(void* buffer, int count) override;
  // The request's parameter of the CGI name ("SERVER NAME" reads
  // SERVER_NAME); empty when missing, never the sentinel.
  std::string GetVariable(const std::string& name) override;
  std::string GetField(const std::string& name, const std::string& default_value) override;
  std::vector<std::string> GetFieldNames() override;
  // True in a FastCGI process.
  bool IsActiveAdapter() override;

  int Threads() const { return threads_; }

 private:
  // The body of every pool thread: take a place, accept, serve, repeat.
  void ServeRequests();
  // Serves one accepted request on the calling thread.
  void Serve(FCGX_Request& request);
  // Gives the calling thread's place back, when it holds one.
  void ReleasePlace();
  void WriteOut(const void* bytes, int count) override;
  // Reads up to count body bytes; returns how many arrived.
  int ReadBody(char* buffer, int count);

  int listen_socket_;
  int threads_;
  std::atomic<bool> first_request_{true};

  std::mutex mutex_;
  std::condition_variable place_free_;
  int free_places_ = 0;    // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> pool_;
  bool started_ = false;
};

// Makes this program able to serve as a FastCGI application: installs the
// adapter's hooks (adapters/FastCgiStartup.h).  The vantora executable calls
// it before it starts; libvantora.so never does, so it carries no FastCGI
// code.
void InstallFastCgiAdapter();

}  // namespace vantora

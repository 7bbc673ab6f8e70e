// A test fixture for a site whose web server runs the program as CGI, visited
// the way a browser would: files written beside the program, one request at
// a time, each waited for until its CGI process has ended so that what it
// stored is on disk when the test looks.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "support/WebServer.h"

namespace vantora {

template <class Base = ::testing::Test>
class CgiSiteFixture : public Base {
 protected:
  // Starts the web server (a running one is stopped first), or fails the test.
  void StartServer(const WebServer::Options& options) {
    server_.reset();
    requests_ = 0;
    std::string error;
    server_ = WebServer::Start(options, &error);
    ASSERT_NE(server_, nullptr) << error;
  }

  // Writes a file beside the program, readable by the server's user.
  void Write(const std::string& name, const std::string& text) {
    const std::string path = server_->ProgramDir() + "/" + name;
    ASSERT_TRUE(WriteWholeFile(path, text)) << path;
    chmod(path.c_str(), 0644);
  }

  // One request; waits until its CGI process has ended.
  HttpResponse Get(const std::string& query, const std::vector<std::string>& curl_args = {}) {
    HttpResponse response = server_->Request(query, curl_args);
    ++requests_;
    EXPECT_EQ(server_->ExitCodes(requests_).size(), requests_) << server_->ErrorLog();
    EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
    return response;
  }

  std::string ProgramLog() const {
    return ReadWholeFile(server_->ProgramDir() + "/Log/vantora.Log");
  }

  std::unique_ptr<WebServer> server_;
  size_t requests_ = 0;
};

using CgiSiteTest = CgiSiteFixture<>;

}  // namespace vantora

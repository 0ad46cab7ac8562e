// Starts the real rest_core binary for an end-to-end test and stops it again.
//
//   e2e::Service svc;                      // own scratch folder (removed at the end)
//   ASSERT_TRUE(svc.start());              // -data-dir <scratch> -port <free port>, waits for it
//   auto r = svc.get("/api/program/echo");
//   EXPECT_EQ(svc.stop(), 0);              // POST /api/system/shutdown, waits, kills as fallback
//
// The data root is `<data_dir()>/Client_Data`; stdout and stderr of the process go to
// output_path() (read with output()). start() retries with a new port when the chosen one was
// taken meanwhile. The destructor stops a service that is still running. Test-only; one thread.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace e2e {

struct ServiceOptions {
  std::vector<std::string> args;              // extra command-line arguments
  std::map<std::string, std::string> env;     // extra environment (e.g. RESTCORE_TEST_*)
  bool pass_port = true;                      // add "-port <free port>"; false: no -port at all
  bool pass_data_dir = true;                  // add "-data-dir <data_dir()>"
  bool wait_ready = true;                     // wait until the port answers
  int ready_timeout_ms = 20000;
};

class Service {
 public:
  Service();                                  // with its own scratch folder
  explicit Service(const std::string& data_dir);  // on a folder the caller owns (shared roots)
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts the binary; true once it has written core.port afresh and answers on that port (or,
  // with wait_ready false, once started).
  bool start(const ServiceOptions& opts = {});
  // Asks for shutdown through the API and waits up to `timeout_ms`; kills it when it does not end.
  // Returns the exit code (128+signal when killed, -1 when not started).
  int stop(int timeout_ms = 15000);
  // Waits for the process to end by itself; exit code, or -1 on time-out.
  int wait_exit(int timeout_ms);
  bool running();

  int port() const { return port_; }
  const std::string& data_dir() const { return data_dir_; }
  std::string data_root() const { return data_dir_ + "/Client_Data"; }
  std::string output_path() const { return output_path_; }
  std::string output() const;          // everything printed so far
  std::string main_log() const;        // Client_Data/main.log so far

  testsupport::HttpReply get(const std::string& target, int timeout_ms = 5000) const;
  testsupport::HttpReply post(const std::string& target, const std::string& body = "",
                              const std::string& content_type = "application/x-www-form-urlencoded",
                              int timeout_ms = 5000) const;
  testsupport::HttpReply raw(const std::string& bytes, int timeout_ms = 5000) const;

 private:
  std::unique_ptr<testsupport::TempDir> own_dir_;
  std::string data_dir_;
  std::string output_path_;
  std::unique_ptr<testsupport::Child> child_;
  int port_ = 0;
  int exit_code_ = -1;
};

}  // namespace e2e

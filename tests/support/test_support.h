// Helpers shared by every test executable: scratch folders, free loopback ports, child processes
// and a raw HTTP client. Tests only; each helper is self-contained and thread-compatible.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void remove_tree(const std::string& path);
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago (bind to 0, read it, close).
int free_tcp_port();
// A block of `count` consecutive ports, free on TCP and UDP a moment ago.
int free_port_block(int count);

// A child process started with fork/exec; killed (SIGKILL) when the object dies if still running.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Starts `argv[0]` with the given arguments; `env` entries are added to (or replace) the
  // current environment. stdout and stderr go to `output_file` when given.
  bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
             const std::string& output_file = "");
  // Waits up to `ms` for the exit; returns the exit code, 128+signal when killed by one, or -1 on time-out.
  int wait(int ms);
  bool running();
  void kill_now(int sig = 9);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
};

struct HttpReply {
  int status = 0;  // 0 when nothing came back
  std::string head;
  std::string body;
  std::string raw;
};

// Sends raw bytes to 127.0.0.1:port and reads until the peer closes or `timeout_ms` passes.
HttpReply raw_request(int port, const std::string& bytes, int timeout_ms = 5000);
// A GET or POST through raw_request with Connection: close.
HttpReply http_get(int port, const std::string& target, int timeout_ms = 5000);
HttpReply http_post(int port, const std::string& target, const std::string& body,
                    const std::string& content_type = "application/x-www-form-urlencoded", int timeout_ms = 5000);
// Polls until a TCP connect to the port succeeds or `timeout_ms` passes.
bool wait_for_port(int port, int timeout_ms);

}  // namespace testsupport

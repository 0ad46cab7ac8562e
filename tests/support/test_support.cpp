#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/rctest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  char* p = mkdtemp(buf.data());
  path_ = p ? p : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) remove_tree(path_);
}

void remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

static int bind_port(int type, int port) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int got = ntohs(a.sin_port);
  close(fd);
  return got;
}

int free_tcp_port() { return bind_port(SOCK_STREAM, 0); }

int free_port_block(int count) {
  // Random starting points in a range the kernel does not hand out as ephemeral ports.
  static unsigned seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
  for (int attempt = 0; attempt < 200; ++attempt) {
    int base = 20000 + static_cast<int>(rand_r(&seed) % 10000);
    bool ok = true;
    for (int i = 0; i < count && ok; ++i)
      ok = bind_port(SOCK_STREAM, base + i) > 0 && bind_port(SOCK_DGRAM, base + i) > 0;
    if (ok) return base;
  }
  return -1;
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

bool Child::start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  const std::string& output_file) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (!output_file.empty()) {
      int fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  reaped_ = false;
  return true;
}

int Child::wait(int ms) {
  if (pid_ <= 0) return -1;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!reaped_) {
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

bool Child::running() { return pid_ > 0 && !reaped_ && wait(0) == -1; }

void Child::kill_now(int sig) {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, sig);
    wait(10000);
  }
}

static int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool wait_for_port(int port, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    int fd = connect_loopback(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

HttpReply raw_request(int port, const std::string& bytes, int timeout_ms) {
  HttpReply r;
  int fd = connect_loopback(port);
  if (fd < 0) return r;
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[65536];
  while (true) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    r.raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  size_t sep = r.raw.find("\r\n\r\n");
  if (r.raw.compare(0, 5, "HTTP/") == 0) {
    r.status = std::atoi(r.raw.c_str() + r.raw.find(' ') + 1);
    r.head = r.raw.substr(0, sep == std::string::npos ? r.raw.size() : sep);
    if (sep != std::string::npos) r.body = r.raw.substr(sep + 4);
  }
  return r;
}

HttpReply http_get(int port, const std::string& target, int timeout_ms) {
  return raw_request(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", timeout_ms);
}

HttpReply http_post(int port, const std::string& target, const std::string& body, const std::string& content_type,
                    int timeout_ms) {
  return raw_request(port,
                     "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: " +
                         content_type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                     timeout_ms);
}

}  // namespace testsupport

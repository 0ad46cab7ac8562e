#include "e2e/service_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace e2e {

namespace {
int output_counter = 0;

// When the port file was last written (0 when there is none); a change tells a fresh write.
long long modified_ns(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}
}  // namespace

Service::Service() : own_dir_(std::make_unique<testsupport::TempDir>()), data_dir_(own_dir_->path()) {
  output_path_ = own_dir_->sub("rest_core." + std::to_string(++output_counter) + ".out");
}

Service::Service(const std::string& data_dir) : data_dir_(data_dir) {
  output_path_ = data_dir_ + "/rest_core." + std::to_string(getpid()) + "." + std::to_string(++output_counter) + ".out";
}

Service::~Service() {
  if (child_ && child_->running()) stop(5000);
}

bool Service::start(const ServiceOptions& opts) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<std::string> argv = {RESTCORE_BIN};
    if (opts.pass_data_dir) {
      argv.push_back("-data-dir");
      argv.push_back(data_dir_);
    }
    port_ = 0;
    if (opts.pass_port) {
      port_ = testsupport::free_tcp_port();
      argv.push_back("-port");
      argv.push_back(std::to_string(port_));
    }
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());
    const std::string port_file = data_root() + "/core.port";
    const long long port_file_before = modified_ns(port_file);
    child_ = std::make_unique<testsupport::Child>();
    exit_code_ = -1;
    if (!child_->start(argv, opts.env, output_path_)) return false;
    if (!opts.wait_ready) return true;

    // The service writes core.port once it listens. Only a fresh write naming the port proves
    // that the listener is ours: the chosen port may have been taken by another process (the
    // simulated servers of a parallel test use the same ephemeral range) before our service could
    // bind it, and a port file may be left from an earlier run. Connecting alone would then talk
    // to a stranger while our service fails to start.
    const int wanted = port_;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.ready_timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      if (!child_->running()) break;
      std::string text = testsupport::read_file(port_file);
      if (modified_ns(port_file) != port_file_before && !text.empty() && text.back() == '\n') {
        const int written = std::atoi(text.c_str());
        if (wanted == 0 || written == wanted) {
          port_ = written;
          if (port_ > 0 && testsupport::wait_for_port(port_, 50) && child_->running()) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (child_->running()) {
      child_->kill_now();
      return false;
    }
    exit_code_ = child_->wait(0);
    // A port taken between our probe and the bind makes the service exit 1: try another one.
    if (!opts.pass_port || exit_code_ != 1) return false;
  }
  return false;
}

int Service::stop(int timeout_ms) {
  if (!child_) return -1;
  if (child_->running()) {
    post("/api/system/shutdown", "", "application/x-www-form-urlencoded", 5000);
    int code = child_->wait(timeout_ms);
    if (code == -1) {
      child_->kill_now(9);
      code = child_->wait(5000);
    }
    exit_code_ = code;
  } else if (exit_code_ == -1) {
    exit_code_ = child_->wait(0);
  }
  return exit_code_;
}

int Service::wait_exit(int timeout_ms) {
  if (!child_) return -1;
  int code = child_->wait(timeout_ms);
  if (code != -1) exit_code_ = code;
  return code;
}

bool Service::running() { return child_ && child_->running(); }

std::string Service::output() const { return testsupport::read_file(output_path_); }
std::string Service::main_log() const { return testsupport::read_file(data_root() + "/main.log"); }

testsupport::HttpReply Service::get(const std::string& target, int timeout_ms) const {
  return testsupport::http_get(port_, target, timeout_ms);
}

testsupport::HttpReply Service::post(const std::string& target, const std::string& body,
                                     const std::string& content_type, int timeout_ms) const {
  return testsupport::http_post(port_, target, body, content_type, timeout_ms);
}

testsupport::HttpReply Service::raw(const std::string& bytes, int timeout_ms) const {
  return testsupport::raw_request(port_, bytes, timeout_ms);
}

}  // namespace e2e

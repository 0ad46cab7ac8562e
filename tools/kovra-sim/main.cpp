// kovra-sim: 25 simulated KOVRA servers on loopback, and the command line that drives them.
//
//   kovra-sim serve --state DIR [--base-port N | --ephemeral] [--data-root DIR]... [--ports-file F]
//                   [--control-port N]
//   kovra-sim mint --state DIR --denominations 0:3,1:2 [--folder DIR] [--multi] [--tag T]
//   kovra-sim corrupt --state DIR --denomination D --serial S [--mode counterfeit|fracked|forget]
//                     [--servers 0,1,2]
//   kovra-sim coin --state DIR --denomination D --serial S
//   kovra-sim counters --state DIR [--server N]
//   kovra-sim reset --state DIR [--what counters|coins|faults|all]
//   kovra-sim fault --state DIR --kind KIND [--servers 0,1] [--group G] [--command C]
//                   [--delay_ms N] [--status S] [--length_delta D] [--count N]
//   kovra-sim faults --state DIR
//   kovra-sim unfault --state DIR --id N
//   kovra-sim stop --state DIR
//
// The control commands go to the simulator running on that state folder through its control
// endpoint; when none runs, mint, corrupt, coin and reset work on the folder directly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "control_http.h"
#include "sim_app.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: kovra-sim serve --state DIR [--base-port N | --ephemeral] [--data-root DIR]...\n"
               "                       [--ports-file FILE] [--control-port N]\n"
               "       kovra-sim mint --state DIR --denominations 0:3,1:2 [--folder DIR] [--multi] [--tag T]\n"
               "       kovra-sim corrupt --state DIR --denomination D --serial S\n"
               "                         [--mode counterfeit|fracked|forget] [--servers 0,1,2]\n"
               "       kovra-sim coin --state DIR --denomination D --serial S\n"
               "       kovra-sim counters --state DIR [--server N]\n"
               "       kovra-sim reset --state DIR [--what counters|coins|faults|all]\n"
               "       kovra-sim fault --state DIR --kind down|delay|drop|refuse|status|bad-echo|corrupt-body|\n"
               "                       wrong-length|close-after-header [--servers 0,1] [--group G] [--command C]\n"
               "                       [--delay_ms N] [--status S] [--length_delta D] [--count N]\n"
               "       kovra-sim faults --state DIR\n"
               "       kovra-sim unfault --state DIR --id N\n"
               "       kovra-sim stop --state DIR\n");
  return 2;
}

struct Args {
  std::string command;
  std::multimap<std::string, std::string> values;
  bool has(const std::string& k) const { return values.count(k) > 0; }
  std::string get(const std::string& k) const {
    auto it = values.find(k);
    return it == values.end() ? "" : it->second;
  }
};

bool parse_args(int argc, char** argv, Args* a) {
  if (argc < 2) return false;
  a->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string k = argv[i];
    if (k.rfind("--", 0) != 0) return false;
    k = k.substr(2);
    if (k == "ephemeral" || k == "multi") {
      a->values.emplace(k, "1");
    } else if (i + 1 < argc) {
      a->values.emplace(k, argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

// One request to the running simulator's control endpoint; the JSON reply body, or "" on failure.
std::string control_call(int port, const std::string& path, const std::string& form, int* status) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  timeval tv{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "";
  }
  std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded"
                    "\r\nContent-Length: " + std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form;
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string in;
  char buf[4096];
  ssize_t r;
  while ((r = recv(fd, buf, sizeof buf, 0)) > 0) in.append(buf, size_t(r));
  close(fd);
  size_t head = in.find("\r\n\r\n");
  if (head == std::string::npos || in.size() < 12) return "";
  *status = std::atoi(in.c_str() + 9);
  return in.substr(head + 4);
}

std::string form_encode(const std::map<std::string, std::string>& params) {
  std::string out;
  for (const auto& [k, v] : params) {
    if (!out.empty()) out += '&';
    out += k + '=';
    for (unsigned char c : v) {
      if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/' || c == ',' || c == ':') {
        out += char(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      }
    }
  }
  return out;
}

int serve(const Args& a) {
  SimOptions o;
  o.state_dir = a.get("state");
  if (o.state_dir.empty()) return usage();
  o.ephemeral = a.has("ephemeral");
  if (a.has("base-port")) o.base_port = std::atoi(a.get("base-port").c_str());
  if (a.has("control-port")) o.control_port = std::atoi(a.get("control-port").c_str());
  o.ports_file = a.get("ports-file");
  auto roots = a.values.equal_range("data-root");
  for (auto it = roots.first; it != roots.second; ++it) o.data_roots.push_back(it->second);

  // Signals are taken synchronously below, so every thread started from here on blocks them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SimApp app;
  std::string error;
  if (app.start(o, &error) != RC_OK) {
    std::fprintf(stderr, "kovra-sim: %s\n", error.c_str());
    return 1;
  }
  std::vector<int> ports = app.server_ports();
  std::printf("kovra-sim: 25 servers on 127.0.0.1 ports %d..%d%s, control port %d, state %s\n", ports.front(),
              ports.back(), o.ephemeral ? " (ephemeral, see the ports file)" : "", app.control_port(),
              o.state_dir.c_str());
  std::fflush(stdout);
  timespec tick{0, 300 * 1000 * 1000};
  while (true) {
    if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) break;
    if (app.wait_for_shutdown_request(1)) break;
  }
  app.stop();
  std::printf("kovra-sim: stopped\n");
  return 0;
}

// Sends the command to the simulator on the folder, or runs it on the folder itself when no
// simulator holds it.
int control(const Args& a) {
  std::string state = a.get("state");
  if (state.empty()) return usage();
  std::map<std::string, std::string> params;
  std::string path = "/" + a.command;
  for (const char* k : {"denominations", "folder", "tag", "denomination", "serial", "mode", "servers", "server", "what",
                        "kind", "group", "command", "delay_ms", "status", "length_delta", "count", "id"})
    if (a.has(k)) params[k] = a.get(k);
  if (a.has("multi")) params["multi"] = "1";
  if (a.command == "stop") path = "/shutdown";
  if (a.command == "unfault") path = "/fault/remove";

  int lock = lock_state_folder(state);
  if (lock == -2) {
    std::fprintf(stderr, "kovra-sim: cannot create the state folder %s\n", state.c_str());
    return 1;
  }
  if (lock < 0) {
    SimPorts ports;
    if (read_ports_file(default_ports_file(state), &ports) != RC_OK) {
      std::fprintf(stderr, "kovra-sim: the state folder is locked but has no ports file: %s\n", state.c_str());
      return 1;
    }
    int status = 0;
    std::string body = control_call(ports.control_port, path, form_encode(params), &status);
    if (body.empty()) {
      std::fprintf(stderr, "kovra-sim: no answer from the control port %d\n", ports.control_port);
      return 1;
    }
    std::printf("%s\n", body.c_str());
    return status == 200 ? 0 : 1;
  }
  if (a.command == "stop") {
    close(lock);
    std::fprintf(stderr, "kovra-sim: no simulator runs on %s\n", state.c_str());
    return 1;
  }
  CoinTable table;
  ResultCode rc = table.open(state);
  if (rc != RC_OK) {
    close(lock);
    std::fprintf(stderr, "kovra-sim: cannot load %s: %s\n", state.c_str(), short_name(rc));
    return 1;
  }
  SimControl ops(&table, nullptr);
  ControlRequest req{"POST", path, params};
  ControlReply reply = handle_control(&ops, nullptr, req);
  close(lock);
  std::printf("%s\n", reply.json.c_str());
  return reply.status == 200 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (!parse_args(argc, argv, &a)) return usage();
  if (a.command == "serve") return serve(a);
  if (a.command == "mint" || a.command == "corrupt" || a.command == "coin" || a.command == "counters" ||
      a.command == "reset" || a.command == "stop" || a.command == "fault" || a.command == "faults" ||
      a.command == "unfault")
    return control(a);
  return usage();
}

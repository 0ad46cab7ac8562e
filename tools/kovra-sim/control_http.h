// A very small JSON HTTP endpoint on 127.0.0.1 for driving the simulator: one request per
// connection, query string and form-encoded body merged into one parameter map, replies JSON
// (or plain text where a route says so) with Connection: close. Requests are served one at a time on
// the endpoint's own thread; each must arrive whole within 5 s, so a silent or trickling client
// holds the endpoint no longer than that.
// start/stop from one controlling thread; port() from any thread.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "base/result_code.h"

struct ControlRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> params;  // the first occurrence of a name wins
};

struct ControlReply {
  int status = 200;
  std::string json;  // the body; JSON unless content_type says otherwise
  std::string content_type = "application/json";
};

using ControlHandler = std::function<ControlReply(const ControlRequest&)>;

class ControlServer {
 public:
  ~ControlServer();
  // Listens on 127.0.0.1:port (0 picks a free one). RC_OK or RC_NETWORK.
  ResultCode start(int port, ControlHandler handler);
  void stop();
  int port() const { return port_; }

 private:
  void loop();
  void serve(int fd);

  ControlHandler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// Decodes %XX and '+' in a form or query component.
std::string url_decode(const std::string& s);
// Splits "a=1&b=2" into the map, keeping the first value of each name.
void parse_form(const std::string& text, std::map<std::string, std::string>* out);

#include "net/kovra_endpoints.h"

#include <memory>

#include "base/amount.h"
#include "http/params.h"
#include "http/reply.h"
#include "http/routes.h"
#include "net/echo_worker.h"
#include "net/transport.h"
#include "runtime/log.h"
#include "runtime/log_reports.h"
#include "runtime/timing_policy.h"

namespace {

constexpr int kServers = kovra::kServerCount;
constexpr int kEchoMinTimeoutMs = 100;
constexpr int kEchoMaxTimeoutMs = 120000;

void write_debug_report(const EchoResult& r) {
  RequestReport report;
  report.name = "Echo";
  report.id = r.request_id;
  report.encrypted = r.encryption;
  report.tcp = rest_transport_choice(r.api_transport) == TRANSPORT_TCP;
  report.parallel = r.parallel;
  report.timeout_ms = r.timeout_ms;
  report.duration_s = r.total_ms / 1000.0;
  for (const EchoServer& s : r.servers) {
    RequestReportRow row;
    row.answered = s.responded;
    row.timed_out = s.timed_out;
    row.network_error = !s.responded && !s.timed_out;
    row.passed = s.responded;
    row.status = s.status;
    row.ms = s.elapsed_ms;
    row.status_name = s.responded ? "Success" : (s.timed_out ? "Timed Out" : "Network Error");
    report.rows.push_back(std::move(row));
  }
  request_report(report);
}

// The members version and count replies open with.
template <class Result>
void diagnostic_reply_head(JsonBuilder& json, const char* command, const Result& r) {
  json.member_string("command", command);
  json.member_bool("success", r.success > kovra::kQuorum - 1);
  json.member_string("request_id", r.request_id);
}

// The members version and count replies close with.
template <class Result>
void diagnostic_reply_tail(JsonBuilder& json, const Result& r) {
  json.member_int64("total_time_ms", r.total_ms);
  json.member_int("timeout_count", r.timeout);
  json.member_int("error_count", r.error);
  json.member_int("skipped_count", r.skipped);
}

// Version and count take no parameters: run the command, then reply with its outcome or failure.
template <class Result>
void run_diagnostic_endpoint(HttpResponse& resp, ResultCode (*command)(Result*),
                             void (*reply)(JsonBuilder&, const Result&), const char* failure) {
  auto r = std::make_unique<Result>();
  ResultCode rc = command(r.get());
  if (rc != RC_OK) {
    reply_error_code(resp, 500, failure, rc);
    return;
  }
  JsonBuilder json;
  reply(json, *r);
  reply_json(resp, json);
}

}  // namespace

const char* echo_status_text(const EchoServer& s) {
  if (s.timed_out) return "Timed Out";
  if (s.responded) return "Ready";
  return "Network Error";
}

const char* version_status_text(const VersionServer& s) {
  if (s.skipped) return "skipped";
  if (s.ok) return "success";
  return s.timed_out ? "timeout" : "error";
}

void echo_reply(JsonBuilder& json, const EchoResult& r) {
  json.begin_object();
  json.member_string("command", "echo");
  json.key("kovras");
  json.begin_array();
  for (const EchoServer& s : r.servers) {
    json.begin_object();
    json.member_int("index", s.id);
    json.member_string("status", echo_status_text(s));
    json.member_int64("latency_ms", s.elapsed_ms);
    json.end_object();
  }
  json.end_array();
  json.member_int("total_available", r.available);
  json.member_int("total_timeout", r.timeout);
  json.member_int("total_error", r.error);
  json.member_bool("array_usable", r.available > kovra::kQuorum - 1);
  json.member_int64("total_time_ms", r.total_ms);
  json.member_string("request_id", r.request_id);
  json.end_object();
}

void version_reply(JsonBuilder& json, const VersionResult& r) {
  json.begin_object();
  diagnostic_reply_head(json, "kovra_version", r);
  json.member_int("pass_count", r.success);
  json.key("kovra_versions");
  json.begin_array();
  for (const VersionServer& s : r.servers) {
    json.begin_object();
    json.member_int("kovra_id", s.id);
    json.member_string("status", version_status_text(s));
    json.member_string("version", s.ok ? version_display(s.version) : std::string());
    json.member_int64("latency_ms", s.elapsed_ms);
    json.end_object();
  }
  json.end_array();
  diagnostic_reply_tail(json, r);
  json.end_object();
}

void count_reply(JsonBuilder& json, const CountResult& r) {
  json.begin_object();
  diagnostic_reply_head(json, "kovra_audit", r);
  json.member_int("successful_responses", r.success);
  json.member_int("total_kovras", kServers);
  json.key("kovra_responses");
  json.begin_array();
  for (const CountServer& s : r.servers) {
    if (!s.ok) continue;
    json.begin_object();
    json.member_int("kovra_id", s.id);
    json.key("denominations");
    json.begin_array();
    for (const DenominationCount& d : s.pairs) {
      json.begin_object();
      json.member_string("denomination", denomination_text(d.code));
      json.member_int64("count", d.count);
      json.end_object();
    }
    json.end_array();
    json.member_string("total_value", format_units(s.total_units));
    json.member_int64("latency_ms", s.elapsed_ms);
    json.end_object();
  }
  json.end_array();
  diagnostic_reply_tail(json, r);
  json.end_object();
}

void handle_kovra_echo(const HttpRequest& req, HttpResponse& resp, void*) {
  const std::string transport = param_get_or(req, "transport", "");
  const std::string mode = param_get_or(req, "mode", "");
  const int api_transport = transport == "udp" ? 1 : 0;
  const bool parallel = mode != "serial";
  const bool encryption = param_get_int(req, "encryption", 0) == 1;
  const int timeout = param_get_int_clamped(req, "timeout", static_cast<int>(attempt_timeout(ATTEMPT_ECHO)),
                                            kEchoMinTimeoutMs, kEchoMaxTimeoutMs);
  const std::string* debug = param_get(req, "debug");
  auto r = std::make_unique<EchoResult>();
  ResultCode rc = cmd_echo(api_transport, encryption, parallel, static_cast<uint32_t>(timeout), r.get());
  if (rc != RC_OK) {
    reply_error_code(resp, 500, "Echo command failed", rc);
    return;
  }
  if (debug && !debug->empty() && is_true(*debug)) write_debug_report(*r);
  echo_health_record(*r);
  JsonBuilder json;
  echo_reply(json, *r);
  reply_json(resp, json);
}

void handle_kovra_version(const HttpRequest&, HttpResponse& resp, void*) {
  run_diagnostic_endpoint(resp, cmd_version, version_reply, "Version command failed");
}

void handle_kovra_count(const HttpRequest&, HttpResponse& resp, void*) {
  run_diagnostic_endpoint(resp, cmd_count, count_reply, "Count command failed");
}

ResultCode kovra_endpoints_provide() {
  ResultCode rc = routes_provide("/api/kovra/echo", handle_kovra_echo);
  if (rc == RC_OK) rc = routes_provide("/api/kovra/version", handle_kovra_version);
  if (rc == RC_OK) rc = routes_provide("/api/kovra/count", handle_kovra_count);
  if (rc != RC_OK) log_error(CAT_HTTP, "kovra endpoints: route table refused a handler (%s)", short_name(rc));
  return rc;
}

#include "http/routes.h"

#include <map>
#include <mutex>

#include "http/params.h"
#include "http/reply.h"
#include "runtime/log.h"

namespace {

const RouteRow kRows[] = {
    // Echo, version and count
    {"/api/kovra/echo", nullptr, false},
    {"/api/kovra/version", nullptr, false},
    {"/api/kovra/count", nullptr, false},
    // Health checks
    {"/api/health/encryption-repair", nullptr, false},
    {"/api/health/fix", nullptr, false},
    {"/api/health/authenticate", nullptr, false},
    {"/api/health/find", nullptr, false},
    {"/api/health/check", nullptr, false},
    {"/api/health/run", "/api/health/check", false},
    {"/api/debug/test-fix-command", nullptr, false},
    // Wallets
    {"/api/wallets/balance", nullptr, false},
    {"/api/wallets/list", nullptr, false},
    {"/api/wallets/show-coins", nullptr, false},
    {"/api/wallets/create", nullptr, false},
    {"/api/wallets/transactions", nullptr, false},
    {"/api/wallets/receipts", nullptr, false},
    {"/api/wallets/rename", nullptr, false},
    {"/api/wallets/delete", nullptr, false},
    {"/api/wallets/coin-details", nullptr, false},
    {"/api/wallets/register", nullptr, false},
    // Consolidate and backup
    {"/api/wallets/consolidate", nullptr, false},
    {"/api/wallets/backup", nullptr, false},
    // Legacy upgrade
    {"/api/wallets/complete-conversion", nullptr, false},
    {"/api/transactions/upgrade-zbv1", nullptr, false},
    {"/api/transactions/upgrade-zbv2", nullptr, false},
    // Deposit
    {"/api/coins/import", nullptr, false},
    {"/api/recovery/status", nullptr, false},
    {"/api/transactions/deposit", nullptr, false},
    // Make change and join
    {"/api/coins/break", nullptr, false},
    {"/api/coins/join", nullptr, false},
    {"/api/coins/prepare-change", nullptr, false},
    // Task registry
    {"/api/system/tasks", nullptr, false},
    // Password session and bulk encryption
    {"/api/system/load-password", nullptr, false},
    {"/api/system/encryption-status", nullptr, false},
    {"/api/system/encrypt_existing_files", nullptr, false},
    {"/api/system/decrypt_existing_files", nullptr, false},
    {"/api/system/copy_undecryptable", nullptr, false},
    // Shutdown (context: the HttpServer)
    {"/api/system/shutdown", nullptr, false},
    // Transfer and export
    {"/api/transactions/transfer", nullptr, false},
    {"/api/transactions/export", nullptr, false},
    {"/api/transactions/export-locations", nullptr, false},
    // Lockers
    {"/api/locker/upload", nullptr, false},
    {"/api/transactions/locker/upload", "/api/locker/upload", false},
    {"/api/locker/peek", nullptr, false},
    {"/api/transactions/locker/peek", "/api/locker/peek", false},
    {"/api/locker/download", nullptr, false},
    {"/api/transactions/locker/download", "/api/locker/download", false},
    {"/api/locker/put", nullptr, false},
    {"/api/locker/put-one-coin", "/api/locker/put", false},
    {"/api/transactions/locker/put", "/api/locker/put", false},
    {"/api/transactions/locker/put-one-coin", "/api/locker/put", false},
    {"/api/locker/put-no-sum", nullptr, false},
    {"/api/transactions/locker/put-no-sum", "/api/locker/put-no-sum", false},
    // Directory
    {"/api/drd/user/post", nullptr, false},
    {"/api/drd/user/get", nullptr, false},
    {"/api/drd/user/search", nullptr, false},
    {"/api/drd/user/delete", nullptr, false},
    {"/api/drd/list/set", nullptr, false},
    {"/api/drd/list/remove", nullptr, false},
    {"/api/drd/list/get", nullptr, false},
    {"/api/drd/local/search", nullptr, false},
    {"/api/drd/local/sync", nullptr, false},
    {"/api/drd/local/status", nullptr, false},
    {"/api/drd/server/post", nullptr, false},
    {"/api/drd/server/get", nullptr, false},
    {"/api/drd/server/withdraw", nullptr, false},
    // Mail database
    {"/api/pelko/db/messages/list", nullptr, false},
    {"/api/pelko/db/messages/get", nullptr, false},
    {"/api/pelko/db/messages/search", nullptr, false},
    {"/api/pelko/db/messages/trash", nullptr, false},
    {"/api/pelko/db/messages/delete", nullptr, false},
    {"/api/pelko/db/messages/move", nullptr, false},
    {"/api/pelko/db/messages/set-star", nullptr, false},
    {"/api/pelko/db/messages/set-read", nullptr, false},
    {"/api/pelko/db/folders/list", nullptr, false},
    {"/api/pelko/db/folders/counts", nullptr, false},
    {"/api/pelko/db/contacts/list", nullptr, false},
    {"/api/pelko/db/contacts/create", nullptr, false},
    {"/api/pelko/db/contacts/delete", nullptr, false},
    {"/api/pelko/db/contacts/list-popular", nullptr, false},
    {"/api/pelko/db/contacts/favorite", nullptr, false},
    {"/api/pelko/db/drafts/list", nullptr, false},
    {"/api/pelko/db/drafts/create", nullptr, false},
    {"/api/pelko/db/drafts/update", nullptr, false},
    {"/api/pelko/db/attachments/list", nullptr, false},
    {"/api/pelko/db/attachments/get", nullptr, false},
    {"/api/pelko/db/tells/list-pending", nullptr, false},
    {"/api/pelko/db/tells/retry", nullptr, false},
    {"/api/pelko/db/tells/clear-sent", nullptr, false},
    {"/api/pelko/db/notifications/list", nullptr, false},
    {"/api/pelko/db/notifications/dismiss", nullptr, false},
    {"/api/pelko/db/reports/sent-payments", nullptr, false},
    // Mail payments and locker pool
    {"/api/pelko/db/payments/get", nullptr, false},
    {"/api/pelko/db/payments/mark-refunded", nullptr, false},
    {"/api/pelko/db/payments/list", nullptr, false},
    {"/api/pelko/subscribe", nullptr, false},
    {"/api/pelko/local/inbox-fee", nullptr, false},
    {"/api/pelko/inbox-fee", "/api/pelko/local/inbox-fee", false},
    {"/api/pelko/local/locker-pool/status", nullptr, false},
    {"/api/pelko/kovra/locker-pool/replenish", "/api/pelko/local/locker-pool/status", false},
    {"/api/pelko/local/can-send", nullptr, false},
    {"/api/pelko/local/locker-funding", nullptr, false},
    {"/api/pelko/kovra/payments/claim", nullptr, false},
    {"/api/pelko/kovra/payments/send", nullptr, false},
    // Mail identity and addresses
    {"/api/pelko/local/identity/whoami", nullptr, false},
    {"/api/pelko/local/identity/get", nullptr, false},
    {"/api/pelko/local/identity/provision-status", nullptr, false},
    {"/api/pelko/local/identity/provision-from-default", nullptr, false},
    {"/api/pelko/local/identity/exists", nullptr, false},
    {"/api/pelko/local/address/from-sn", nullptr, false},
    {"/api/pelko/local/util/base32-encode", nullptr, false},
    {"/api/pelko/local/util/base32-decode", "/api/pelko/local/util/base32-encode", false},
    {"/api/pelko/kovra/identity/heal", nullptr, false},
    {"/api/pelko/kovra/locker/import-credentials", nullptr, false},
    // Mail beacon and status
    {"/api/pelko/local/status", nullptr, false},
    {"/api/pelko/net/beacon/peek", nullptr, false},
    {"/api/pelko/net/beacon/ping", nullptr, false},
    {"/api/pelko/local/beacon/control", nullptr, false},
    {"/api/pelko/net/messages/download", nullptr, false},
    // Mail upload and tell
    {"/api/pelko/net/messages/upload", nullptr, false},
    {"/api/pelko/net/messages/tell", nullptr, false},
    {"/api/pelko/net/messages/upload_and_tell", nullptr, false},
    // Object transfers (session token required)
    {"/api/pelko/net/objects/capabilities", nullptr, true},
    {"/api/pelko/net/objects/upload", nullptr, true},
    {"/api/pelko/net/objects/download", nullptr, true},
    {"/api/pelko/net/objects/delete", nullptr, true},
    {"/api/pelko/net/object-transfers/status", nullptr, true},
    {"/api/pelko/net/object-transfers/resume", nullptr, true},
    {"/api/pelko/net/object-transfers/cancel", nullptr, true},
    // Send receipts
    {"/api/pelko/receipts", nullptr, false},
    // Peripheral tools
    {"/api/program/echo", nullptr, false},
    {"/api/system/disclaimer", nullptr, false},
    {"/api/system/config/usb", nullptr, false},
    {"/api/system/config/mobile", nullptr, false},
    {"/api/system/theme", nullptr, false},
    {"/api/system/dropdown", nullptr, false},
    {"/api/system/version-check", nullptr, false},
    {"/api/system/update/download", nullptr, false},
    {"/api/system/update/apply", nullptr, false},
    {"/api/rke/status", nullptr, false},
    {"/api/rke/discover", nullptr, false},
    {"/api/rke/session", nullptr, false},
    {"/api/kovra/identity/status", nullptr, false},
    {"/api/kovra/keys/provision", nullptr, false},
    {"/api/system/public-ip", nullptr, false},
    {"/api/kovra/keys/rekey", nullptr, false},
    {"/api/tools/support-zip", nullptr, false},
    {"/oauth/authorize", nullptr, false},
    {"/oauth/token", nullptr, false},
    {"/oauth/uersinfo", nullptr, false},
    {"/api/debug/loopback-test", nullptr, false},
};

struct Provided {
  HttpHandler handler;
  void* context = nullptr;
};

// Guards g_provided, the handlers subsystems have bound by key; stands alone in the lock order.
std::mutex g_routes_lock;
std::map<std::string, Provided> g_provided;

}  // namespace

const RouteRow* route_rows() { return kRows; }
size_t route_row_count() { return sizeof kRows / sizeof kRows[0]; }

const char* route_handler_key(const RouteRow& row) { return row.alias_of ? row.alias_of : row.path; }

ResultCode routes_provide(const std::string& key, HttpHandler handler, void* context) {
  bool known = false;
  for (const RouteRow& r : kRows)
    if (key == route_handler_key(r)) known = true;
  if (!known) return RC_NOT_FOUND;
  std::lock_guard<std::mutex> lock(g_routes_lock);
  g_provided[key] = Provided{std::move(handler), context};
  return RC_OK;
}

void routes_reset() {
  std::lock_guard<std::mutex> lock(g_routes_lock);
  g_provided.clear();
}

void route_not_implemented(const HttpRequest& req, HttpResponse& resp, void*) {
  reply_error_detail(resp, 501, "Not implemented", req.path.c_str());
}

void coins_join_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  const char* name = param_get(req, "target_denomination") ? "target_denomination" : "denomination";
  if (!param_get(req, name)) {
    reply_error(resp, 400, "Missing required parameter: target_denomination");
    return;
  }
  int denomination = param_get_int(req, name, 0);
  std::string wallet;
  if (resolve_wallet(req, wallet) != RC_OK) {
    reply_error(resp, 400, "Invalid wallet path");
    return;
  }
  JsonBuilder b;
  b.begin_object();
  b.member_bool("error", true);
  b.member_string("message", "Join operation requires coin type conversion - use make_change instead");
  b.member_int("code", 501);
  b.member_string("operation", "join_coins");
  b.member_int("target_denomination", denomination);
  b.member_string("wallet_path", wallet);
  b.end_object();
  reply_json(resp, b);
  resp.status = 501;
  resp.reason = "Not Implemented";
}

int routes_register_all(HttpServer& server) {
  std::map<std::string, Provided> provided;
  {
    std::lock_guard<std::mutex> lock(g_routes_lock);
    provided = g_provided;
  }
  int count = 0;
  for (const RouteRow& row : kRows) {
    std::string key = route_handler_key(row);
    HttpHandler handler;
    void* context = nullptr;
    auto it = provided.find(key);
    if (it != provided.end() && it->second.handler) {
      handler = it->second.handler;
      context = it->second.context;
    } else if (key == "/api/system/shutdown") {
      handler = http_shutdown_handler;
      context = &server;
    } else if (key == "/api/program/echo") {
      handler = http_program_echo_handler;
    } else if (key == "/api/coins/join") {
      handler = coins_join_handler;
    } else {
      handler = route_not_implemented;
    }
    if (row.token_guard) {
      handler = [inner = std::move(handler)](const HttpRequest& req, HttpResponse& resp, void* ctx) {
        if (!http_check_session_token(req, resp)) return;
        inner(req, resp, ctx);
      };
    }
    if (http_server_register(server, row.path, std::move(handler), context) == 0) ++count;
    else log_error(CAT_HTTP, "Failed to register route %s", row.path);
  }
  log_info(CAT_HTTP, "Registered %d API endpoints", count);
  return count;
}

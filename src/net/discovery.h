// Server discovery for the desktop role: the consensus fetch asks several servers' web hosts for
// one text document (`/service/<name>`) and accepts it only when enough of them return the same
// text; the list validator and the agreed-text parser turn the "kovra_servers" document into the
// server table. The web hosts are deployment data kept here in one place; they default to loopback
// URLs that fail at once when nothing listens, so a desktop start never hangs and never reaches
// outside the machine. All functions may be called from any thread; the host table and the
// ranking hook have their own lock.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "net/server_directory.h"

// Reply validator: may rewrite the reply in place to a normal form; true when acceptable.
using ReplyValidator = std::function<bool(std::string* reply)>;

struct ConsensusOptions {
  int pool_size = 3;                // servers asked, 1..25
  int needed = 2;                   // identical replies needed; above the pool size it falls back to 2
  bool responder_majority = false;  // after all replies, accept a strict majority of the responders
  bool prune = false;               // drop servers marked unavailable (when at least one stays)
  ReplyValidator validator;         // optional
};

// Fetches `/service/<name>` from up to `pool_size` servers in parallel and returns the agreed
// text. RC_OK, RC_NOT_FOUND (replies but no agreement), RC_ERROR (every fetch failed),
// RC_INVALID_PARAM (bad options).
ResultCode consensus_fetch(const std::string& name, const ConsensusOptions& options, std::string* out_text);

// The list validator: 25 lines "host:port,P|K" with port 50000 + line index; rewrites the reply to
// its normal form ("\n"-joined, letters upper-cased) when valid.
bool validate_server_list(std::string* reply);
// Parses an agreed list leniently (bad lines skipped, at most 25 rows); returns the row count.
int parse_agreed_server_list(const std::string& text, std::vector<ServerEntry>* rows);

// Runs up to three discovery attempts and, on consensus, rewrites `path` when the agreed list
// differs from it (or upgrades an old-form file). True when consensus was found, so the caller
// re-reads the file.
bool run_server_discovery(const std::string& path);

// ---- Configuration ----
// Base URL of each server's web host (index = server id); fewer than 25 entries leave the rest at
// their defaults. An entry may contain "{id}", replaced by the server id.
void set_discovery_hosts(const std::vector<std::string>& base_urls);
// The URL fetched from server `id` for document `name`. The test seam DISCOVERY_URL, when set,
// replaces every host (with "{id}" substitution).
std::string discovery_url(int id, const std::string& name);
// Supplies the servers ranked by their last echo time (the mail health tracker); empty when it has
// no data. Without a hook, candidates are counted from id 0.
void set_consensus_ranking(std::function<std::vector<int>()> ranking);
// The GET used for each fetch: body of any response, or a failure. Defaults to the runtime's HTTP
// GET client; tests may replace it.
using WebFetch = std::function<ResultCode(const std::string& url, std::string* body)>;
void set_discovery_fetch(WebFetch fetch);

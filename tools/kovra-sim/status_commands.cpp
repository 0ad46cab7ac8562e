// Group 0: the status commands, which need no coin and answer the same whatever the key.
#include "command_registry.h"
#include "sim_cipher.h"

namespace {
// The build date the servers report; any 8-character YYYYMMDD text is valid for the client.
constexpr char kServerVersion[] = "20261201";

void echo(const CommandContext&, CommandReply* reply) { reply->status = kStSuccess; }

void version(const CommandContext&, CommandReply* reply) {
  reply->status = kStSuccess;
  reply->body.assign(kServerVersion, kServerVersion + 8);
}

// One 5-byte record per denomination the server holds: the signed code, then the count.
void count(const CommandContext& ctx, CommandReply* reply) {
  reply->status = kStSuccess;
  for (const auto& [denomination, n] : ctx.table->counts(ctx.server)) {
    uint8_t rec[5];
    rec[0] = static_cast<uint8_t>(denomination);
    put_be32(rec + 1, n);
    reply->body.insert(reply->body.end(), rec, rec + 5);
  }
}
}  // namespace

void register_status_commands(CommandRegistry* r) {
  r->add(0, 0, "echo", echo);
  r->add(0, 1, "version", version);
  r->add(0, 3, "count", count);
}

// The table of commands the simulated servers answer, keyed by (command group, command). Each
// command's server side registers a handler here; the exchange looks it up after the request has
// been decrypted and its key proven. Handlers get the server id, the coin table and the plaintext
// payload, and return a status and a plaintext body; framing and encryption are not their
// concern. Built once before the servers start, read-only afterwards: safe from any thread then.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "coin_table.h"
#include "sim_wire.h"

struct CommandContext {
  int server = 0;
  CoinTable* table = nullptr;
  const SimRequest* request = nullptr;
  const uint8_t* payload = nullptr;  // decrypted, after the challenge
  size_t payload_length = 0;
};

struct CommandReply {
  uint8_t status = kStSuccess;
  std::vector<uint8_t> body;  // plaintext; wiped by the exchange once framed
};

using CommandHandler = std::function<void(const CommandContext&, CommandReply*)>;

struct CommandEntry {
  std::string name;
  CommandHandler handler;
};

class CommandRegistry {
 public:
  // Adds or replaces a command.
  void add(uint8_t group, uint8_t command, const std::string& name, CommandHandler handler);
  // The entry for the command, or null when the servers do not serve it.
  const CommandEntry* find(uint8_t group, uint8_t command) const;
  // "echo", "version", ..., or "group%u/command%u" for unknown ones.
  std::string name(uint8_t group, uint8_t command) const;

 private:
  std::map<std::pair<uint8_t, uint8_t>, CommandEntry> entries_;
};

// Group 0: echo (0), version (1) and count (3).
void register_status_commands(CommandRegistry* registry);
// Every command the simulator serves.
void register_all_commands(CommandRegistry* registry);

#include "command_registry.h"

void CommandRegistry::add(uint8_t group, uint8_t command, const std::string& name, CommandHandler handler) {
  entries_[{group, command}] = CommandEntry{name, std::move(handler)};
}

const CommandEntry* CommandRegistry::find(uint8_t group, uint8_t command) const {
  auto it = entries_.find({group, command});
  return it == entries_.end() ? nullptr : &it->second;
}

std::string CommandRegistry::name(uint8_t group, uint8_t command) const {
  const CommandEntry* e = find(group, command);
  if (e) return e->name;
  return "group" + std::to_string(group) + "/command" + std::to_string(command);
}

void register_all_commands(CommandRegistry* registry) { register_status_commands(registry); }

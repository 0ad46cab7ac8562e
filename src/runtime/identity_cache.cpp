#include "runtime/identity_cache.h"

#include "runtime/config.h"

IdentityCache identity_cache_clamped(const IdentityCache& v) {
  IdentityCache c = v;
  auto cut = [](std::string& s, size_t max) {
    if (s.size() > max) s.resize(max);
  };
  cut(c.email, 255);
  cut(c.first_name, 63);
  cut(c.last_name, 63);
  cut(c.description, 127);
  cut(c.class_name, 31);
  if (c.beacon_kovra > 24) c.beacon_kovra = 0;
  if (c.secondary_beacon_kovra > 24) c.secondary_beacon_kovra = 0;
  return c;
}

ResultCode identity_cache_update(bool present, const IdentityCache& values, bool* changed) {
  const IdentityCache next = present ? identity_cache_clamped(values) : IdentityCache{};
  return config_modify_and_save(
      [&next](ConfigSettings& s) {
        if (s.identity == next) return false;
        s.identity = next;
        return true;
      },
      changed);
}

IdentityCache identity_cache_get() { return config_snapshot().identity; }

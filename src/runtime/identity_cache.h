// The cache of the mail identity kept in `rest_core.conf`: the service itself rewrites the file
// whenever the mail identity changes, so the next start knows the identity before the mail
// database opens. Called by the mail identity code on whichever thread changes the identity;
// the comparison and the rewrite run under the configuration lock.
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"

struct IdentityCache {
  std::string email;        // at most 255 characters
  std::string first_name;   // at most 63
  std::string last_name;    // at most 63
  std::string description;  // at most 127
  std::string class_name;   // at most 31
  uint32_t serial_number = 0;
  int8_t denomination = 0;
  uint32_t beacon_kovra = 0;            // 0..24
  uint32_t secondary_beacon_kovra = 0;  // 0..24

  bool operator==(const IdentityCache& o) const = default;
};

// The values cut to their limits (text) and beacon ids outside 0..24 set to 0.
IdentityCache identity_cache_clamped(const IdentityCache& v);
// Replaces the cached identity with `values` (all empty and 0 when `present` is false) and
// rewrites the whole configuration file, unless the clamped values equal the cache already held.
// RC_OK (also when nothing changed; `*changed` tells which), or the writer's RC_FILE.
ResultCode identity_cache_update(bool present, const IdentityCache& values, bool* changed = nullptr);
// A copy of the cached identity.
IdentityCache identity_cache_get();

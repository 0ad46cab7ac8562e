#include "net/packet.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "net/crypto.h"
#include "net/kovra_protocol.h"
#include "runtime/log.h"
#include "runtime/log_reports.h"

using namespace kovra;

namespace {

void put_be(uint8_t* p, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v & 0xFF);
    v >>= 8;
  }
}

uint64_t get_be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

bool keyed_ctr(const PacketSpec& s) {
  return (s.encryption_type == enc::kAes128Coin || s.encryption_type == enc::kAes128Locker) && s.has_key;
}

// Header key id of key A: type 2 keys name themselves by their own first five bytes.
void key_a_id(const PacketSpec& s, uint8_t* denom, uint32_t* serial) {
  *denom = 0;
  *serial = 0;
  if (!s.has_key) return;
  if (s.encryption_type == enc::kAes128Locker) {
    if (s.key.key_a_secret.size() >= 5) {
      *denom = s.key.key_a_secret[0];
      *serial = static_cast<uint32_t>(get_be(s.key.key_a_secret.data() + 1, 4));
    }
    return;
  }
  *denom = static_cast<uint8_t>(s.key.key_a_denomination);
  *serial = s.key.key_a_serial;
}

ResultCode make_challenge(PacketSpec* s) {
  if (s->challenge_set) return RC_OK;
  if (random_fill(s->challenge, kChallengeRandom) != RC_OK) return RC_ENCRYPTION;
  put_be(s->challenge + kChallengeRandom, crc32_ieee(s->challenge, kChallengeRandom), 4);
  s->challenge_set = true;
  return RC_OK;
}

// Type 8/9 nonces: strict randomness, top bit clear (the server's answer sets it).
ResultCode make_gcm_nonce(PacketSpec* s) {
  if (random_fill_strict(s->nonce, kNonce12Size) != RC_OK) return RC_ENCRYPTION;
  s->nonce[0] &= static_cast<uint8_t>(~kResponseNonceBit);
  return RC_OK;
}

ResultCode make_ctr_nonce(PacketSpec* s) {
  std::memset(s->nonce, 0, sizeof s->nonce);
  if (s->encryption_type == enc::kAes128Locker && s->has_key) {
    uint8_t d;
    uint32_t sn;
    key_a_id(*s, &d, &sn);
    std::memcpy(s->nonce, kType2NoncePrefix, 5);
    put_be(s->nonce + 5, sn & 0xFFFFFF, 3);
    return RC_OK;
  }
  return random_fill(s->nonce, kNonce8Size) == RC_OK ? RC_OK : RC_ENCRYPTION;
}

void log_nonce_hex(char* out, const uint8_t* n, int len) {
  static const char* d = "0123456789ABCDEF";
  for (int i = 0; i < len; ++i) {
    out[2 * i] = d[n[i] >> 4];
    out[2 * i + 1] = d[n[i] & 0xF];
  }
  out[2 * len] = '\0';
}

// Type 2 sampling: three servers chosen at the first build log their locker packets.
void maybe_sample_type2(const PacketSpec& s, const uint8_t* pkt, size_t len) {
  static std::once_flag once;
  static int chosen[3];
  std::call_once(once, [] {
    uint64_t ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
    int m = static_cast<int>(ms % kServerCount);
    chosen[0] = m;
    chosen[1] = (m + 7) % kServerCount;
    chosen[2] = (m + 15) % kServerCount;
  });
  if (s.server_id != chosen[0] && s.server_id != chosen[1] && s.server_id != chosen[2]) return;
  log_info(CAT_PROTO, "TYPE 2 LOCKER ENCRYPTION PACKET (KOVRA %2d): EncType=0x%02X DN=0x%02X SN=%02X%02X%02X%02X BodySize=%d",
           s.server_id, pkt[req1::kEncType], pkt[req1::kKeyADenomination], pkt[req1::kKeyASerial],
           pkt[req1::kKeyASerial + 1], pkt[req1::kKeyASerial + 2], pkt[req1::kKeyASerial + 3],
           static_cast<int>(len - kHeaderSize));
  hex_dump(pkt, len < 64 ? len : 64, "Locker encryption packet");
}

ResultCode build_v1(PacketSpec* s, Secret* out) {
  const bool mail = is_mail_content(s->command_group, s->command);
  const uint32_t type = s->encryption_type;
  if (type == enc::kGcmDual) {
    if (!s->has_key || s->key.type != enc::kGcmDual || !s->key.dual || mail || s->key.key_a_secret.size() != 16 ||
        s->key.key_b_secret.size() != 16) {
      log_error(CAT_PROTO, "Type 8 unsupported or missing dual key: group=%u command=%u", s->command_group, s->command);
      return RC_INVALID_PARAM;
    }
  } else if (type == enc::kGcmMail) {
    // The mail key travels only in the version 2 header; version 1 has no place for its id.
    log_error(CAT_PROTO, "Type 9 requires header version 2: group=%u command=%u", s->command_group, s->command);
    return RC_INVALID_PARAM;
  } else if (type == enc::kAes128Coin || type == enc::kAes128Locker) {
    if (s->has_key && s->key.key_a_secret.size() != 16) {
      log_error(CAT_PROTO, "Type %u key must be 16 bytes: group=%u command=%u", type, s->command_group, s->command);
      return RC_INVALID_PARAM;
    }
    // Never send data in clear under an encrypted type; the keyless echo probe has no payload.
    if (!s->has_key && s->payload.size() > 0) {
      log_error(CAT_PROTO, "Type %u request with payload but no key refused: group=%u command=%u", type,
                s->command_group, s->command);
      return RC_INVALID_PARAM;
    }
  } else if (type != enc::kNone) {
    log_error(CAT_PROTO, "Unknown encryption type %u: group=%u command=%u", type, s->command_group, s->command);
    return RC_INVALID_PARAM;
  }

  const size_t body_len = s->payload.size() + kBodyOverhead;
  if (mail && body_len > kMaxMailBody) {
    log_error(CAT_PROTO, "Pelko object transfer body too large: %zu bytes", body_len);
    return RC_INVALID_PARAM;
  }
  if (!mail && body_len > kMaxLegacyBody) {
    log_error(CAT_PROTO, "Request body too large for legacy 16-bit header: %zu bytes", body_len);
    return RC_INVALID_PARAM;
  }

  if (make_challenge(s) != RC_OK) return RC_ENCRYPTION;
  if (!s->nonce_set) {
    ResultCode rc = type == enc::kGcmDual ? make_gcm_nonce(s) : make_ctr_nonce(s);
    if (rc != RC_OK) return rc;
    s->nonce_set = true;
  }

  const size_t hlen = request_header_length(type);
  Secret pkt;
  try {
    pkt.resize(hlen + body_len);
  } catch (const std::bad_alloc&) {
    return RC_MEMORY;
  }
  uint8_t* p = pkt.data();
  p[req1::kCloudId] = mail ? 0 : kCloudId;
  p[req1::kSplitId] = s->split_id;
  p[req1::kServerId] = s->server_id;
  p[req1::kShardId] = s->shard_id;
  p[req1::kGroup] = s->command_group;
  p[req1::kCommand] = s->command;
  put_be(p + req1::kCoinId, kCoinId, 2);
  if (mail) {
    p[req1::kByte8] = 0;
    p[req1::kByte8 + 1] = 1;
    put_be(p + req1::kMailBodyLength, body_len, 4);
    put_be(p + req1::kBodyLength, 0xFFFF, 2);
  } else {
    p[req1::kByte8] = 1;
    put_be(p + req1::kBodyLength, body_len, 2);
  }
  p[req1::kEncType] = static_cast<uint8_t>(type);
  uint8_t da = 0;
  uint32_t sa = 0;
  key_a_id(*s, &da, &sa);
  p[req1::kKeyADenomination] = da;
  put_be(p + req1::kKeyASerial, sa, 4);
  if (type == enc::kGcmDual) {
    p[req1::kKeyBDenomination] = static_cast<uint8_t>(s->key.key_b_denomination);
    put_be(p + req1::kKeyBSerial, s->key.key_b_serial, 4);
    std::memcpy(p + req1::kNonce12, s->nonce, kNonce12Size);
  } else {
    std::memcpy(p + req1::kNonce, s->nonce, kNonce8Size);
  }
  uint8_t* body = p + hlen;
  std::memcpy(body, s->challenge, kChallengeSize);
  if (s->payload.size() > 0) std::memcpy(body + kChallengeSize, s->payload.data(), s->payload.size());
  body[body_len - 2] = kTerminator;
  body[body_len - 1] = kTerminator;
  const size_t enc_len = body_len - kTerminatorSize;

  if (keyed_ctr(*s)) {
    if (aes128_ctr_nonce8(s->key.key_a_secret.data(), s->nonce, body, enc_len) != RC_OK) return RC_ENCRYPTION;
  } else if (type == enc::kGcmDual) {
    uint8_t key[32];
    std::memcpy(key, s->key.key_a_secret.data(), 16);
    std::memcpy(key + 16, s->key.key_b_secret.data(), 16);
    ResultCode rc = aes256_gcm(true, key, s->nonce, p, req1::kAadSize, body, enc_len, p + req1::kTag);
    OPENSSL_cleanse(key, sizeof key);
    if (rc != RC_OK) return RC_ENCRYPTION;
  }

  char nhex[25];
  if (type == enc::kGcmDual) {
    log_nonce_hex(nhex, s->nonce, 12);
    log_debug(CAT_PROTO, "Packet: KOVRA %2d grp=%d cmd=%d enc=8 keyA=DN%d.%u keyB=DN%d.%u body=%zu nonce=%s", s->server_id,
              s->command_group, s->command, s->key.key_a_denomination, s->key.key_a_serial, s->key.key_b_denomination,
              s->key.key_b_serial, body_len, nhex);
  } else if (keyed_ctr(*s)) {
    log_nonce_hex(nhex, s->nonce, 8);
    log_debug(CAT_PROTO, "Packet: KOVRA %2d grp=%d cmd=%d enc=%d dn=%d sn=%u body=%zu nonce=%s", s->server_id,
              s->command_group, s->command, (int)type, (int)(int8_t)da, sa, body_len, nhex);
    if (type == enc::kAes128Locker) maybe_sample_type2(*s, p, pkt.size());
  }
  *out = std::move(pkt);
  return RC_OK;
}

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

ResultCode build_v2(PacketSpec* s, Secret* out) {
  const uint32_t type = s->encryption_type;
  if (s->command_group != group::kMail && s->command_group != group::kDirectory) {
    log_error(CAT_PROTO, "HV=2 refuses command group %u (content groups 6/16 only)", s->command_group);
    return RC_INVALID_PARAM;
  }
  if (!(type == enc::kGcmDual || type == enc::kGcmMail || (type == enc::kNone && s->plaintext_allowed))) {
    log_error(CAT_PROTO, "HV=2 content group %u rejects encryption type %d", s->command_group, (int)type);
    return RC_INVALID_PARAM;
  }
  if (make_challenge(s) != RC_OK) return RC_ENCRYPTION;
  if (!s->nonce_set) {
    if (type == enc::kGcmDual || type == enc::kGcmMail) {
      if (make_gcm_nonce(s) != RC_OK) return RC_ENCRYPTION;
    } else {
      ResultCode rc = make_ctr_nonce(s);  // 8 bytes, the last 4 stay zero
      if (rc != RC_OK) return rc;
    }
    s->nonce_set = true;
  }

  uint8_t id_a[5] = {0}, id_b[5] = {0};
  size_t key_len = 0;
  if (type == enc::kGcmDual) {
    if (!s->has_key || s->key.type != enc::kGcmDual || !s->key.dual || s->key.key_a_secret.size() != 16 ||
        s->key.key_b_secret.size() != 16) {
      log_error(CAT_PROTO, "HV=2 type 8 needs a dual key: group=%u command=%u", s->command_group, s->command);
      return RC_INVALID_PARAM;
    }
    id_a[0] = static_cast<uint8_t>(s->key.key_a_denomination);
    put_be(id_a + 1, s->key.key_a_serial, 4);
    id_b[0] = static_cast<uint8_t>(s->key.key_b_denomination);
    put_be(id_b + 1, s->key.key_b_serial, 4);
    key_len = 32;
  } else if (type == enc::kGcmMail) {
    if (!s->has_key || !s->key.mail_key_present || s->key.mail_key.size() != 32) {
      log_error(CAT_PROTO, "HV=2 type 9 needs the mail key: group=%u command=%u", s->command_group, s->command);
      return RC_INVALID_PARAM;
    }
    std::memcpy(id_a, s->key.mail_key_id, 5);
    key_len = 32;
  }
  uint8_t sub = s->content_subversion;
  if (sub == 0) sub = type == enc::kGcmMail ? 1 : 2;

  // Validation: every failure is an invalid request.
  auto refuse = [&](const char* why) {
    log_error(CAT_PROTO, "HV=2 request refused: %s (group=%u command=%u type=%u)", why, s->command_group, s->command, type);
    return RC_INVALID_PARAM;
  };
  const bool top_clear = (s->nonce[0] & kResponseNonceBit) == 0;
  if (sub != 1 && sub != 2) return refuse("content sub-version must be 1 or 2");
  if (type == enc::kGcmDual && sub != 2) return refuse("type 8 needs sub-version 2");
  if (type == enc::kGcmMail && sub != 1) return refuse("type 9 needs sub-version 1");
  if (s->split_id != 0) return refuse("split id must be 0");
  if (s->payload.size() == 0) return refuse("empty payload");
  if (sub == 1) {
    if (type != enc::kGcmMail || !top_clear) return refuse("sub-version 1 needs type 9 and a clear nonce top bit");
  } else {
    if (s->content_value != 0 && type != enc::kGcmMail) return refuse("content value needs type 9");
    if ((type == enc::kGcmDual || type == enc::kGcmMail) && !top_clear) return refuse("nonce top bit set");
  }
  if (type == enc::kGcmMail && (!all_zero(id_a, 5)) != (s->content_value != 0))
    return refuse("mail key id and content value must be both set or both zero");
  if (s->payload.size() >= 32) {
    const uint8_t* pl = s->payload.data();
    if (sub == 1) {
      if (std::memcmp(pl, id_a, 5) != 0 || !all_zero(pl + 5, 27)) return refuse("payload prefix does not match key id");
    } else {
      if (!all_zero(pl, 8) || get_be(pl + 8, 2) != kCoinId || pl[15] != 0 || all_zero(pl + 16, 16))
        return refuse("payload prefix malformed");
    }
  }
  if (s->payload.size() > kMaxV2Payload) return refuse("payload too large");

  const size_t body_len = s->payload.size() + kBodyOverhead;
  Secret pkt;
  try {
    pkt.resize(kWideHeaderSize + body_len);
  } catch (const std::bad_alloc&) {
    return RC_MEMORY;
  }
  uint8_t* p = pkt.data();
  p[req2::kHeaderVersion] = req2::kVersion;
  p[req2::kServerId] = s->server_id;
  p[req2::kShardId] = s->shard_id;
  p[req2::kGroup] = s->command_group;
  p[req2::kCommand] = s->command;
  put_be(p + req2::kCoinId, kCoinId, 2);
  p[req2::kSubVersion] = sub;
  put_be(p + req2::kBodyLength, body_len, 4);
  put_be(p + req2::kContentWord, s->content_word, 2);
  p[req2::kEncType] = static_cast<uint8_t>(type);
  std::memcpy(p + req2::kKeyAId, id_a, 5);
  std::memcpy(p + req2::kKeyBId, id_b, 5);
  std::memcpy(p + req2::kNonce, s->nonce, kNonce12Size);
  put_be(p + req2::kContentValue, s->content_value, 8);
  uint8_t* body = p + kWideHeaderSize;
  std::memcpy(body, s->challenge, kChallengeSize);
  std::memcpy(body + kChallengeSize, s->payload.data(), s->payload.size());
  body[body_len - 2] = kTerminator;
  body[body_len - 1] = kTerminator;

  if (key_len == 32) {
    uint8_t key[32];
    if (type == enc::kGcmDual) {
      std::memcpy(key, s->key.key_a_secret.data(), 16);
      std::memcpy(key + 16, s->key.key_b_secret.data(), 16);
    } else {
      std::memcpy(key, s->key.mail_key.data(), 32);
    }
    ResultCode rc = aes256_gcm(true, key, s->nonce, p, req2::kAadSize, body, body_len - kTerminatorSize, p + req2::kTag);
    OPENSSL_cleanse(key, sizeof key);
    if (rc != RC_OK) return RC_ENCRYPTION;  // pkt wipes itself
  }
  *out = std::move(pkt);
  return RC_OK;
}

// The 32-byte key of a type 8 or 9 exchange, or false when the packet description lacks it.
bool gcm_key(const PacketSpec& s, uint8_t key[32]) {
  if (!s.has_key) return false;
  if (s.encryption_type == enc::kGcmDual) {
    if (s.key.key_a_secret.size() != 16 || s.key.key_b_secret.size() != 16) return false;
    std::memcpy(key, s.key.key_a_secret.data(), 16);
    std::memcpy(key + 16, s.key.key_b_secret.data(), 16);
    return true;
  }
  if (s.encryption_type == enc::kGcmMail) {
    if (!s.key.mail_key_present || s.key.mail_key.size() != 32) return false;
    std::memcpy(key, s.key.mail_key.data(), 32);
    return true;
  }
  return false;
}

}  // namespace

void packet_spec_init(PacketSpec* spec) {
  if (!spec) return;
  *spec = PacketSpec{};
}

void packet_spec_set_payload(PacketSpec* spec, const uint8_t* bytes, size_t length) {
  if (!spec) return;
  if (!bytes || length == 0) {
    spec->payload.clear();
    return;
  }
  spec->payload.assign(bytes, length);
}

void packet_spec_take_payload(PacketSpec* spec, Secret&& buffer) {
  if (!spec) return;
  if (buffer.empty()) {
    spec->payload.clear();
    buffer.clear();
    return;
  }
  spec->payload = std::move(buffer);
}

void packet_spec_free(PacketSpec* spec) {
  if (!spec) return;
  OPENSSL_cleanse(spec->challenge, sizeof spec->challenge);
  OPENSSL_cleanse(spec->nonce, sizeof spec->nonce);
  *spec = PacketSpec{};  // Secrets wipe themselves on assignment
}

size_t request_header_length(uint32_t encryption_type) {
  return (encryption_type == enc::kGcmDual || encryption_type == enc::kGcmMail) ? kWideHeaderSize : kHeaderSize;
}

ResultCode packet_build(PacketSpec* spec, Secret* out) {
  if (!spec || !out) return RC_INVALID_PARAM;
  out->clear();
  if (spec->server_id >= kServerCount) return RC_INVALID_PARAM;
  if (spec->header_version == 1) return build_v1(spec, out);
  if (spec->header_version == 2) return build_v2(spec, out);
  log_error(CAT_PROTO, "Unsupported request header version %u", spec->header_version);
  return RC_INVALID_PARAM;
}

ResultCode response_parse(const uint8_t* bytes, size_t length, const PacketSpec* spec, ParsedResponse* parsed) {
  if (!parsed) return RC_INVALID_PARAM;
  *parsed = ParsedResponse{};
  if (!bytes || length < kHeaderSize) {
    log_error(CAT_PROTO, "Response too short: %zu bytes", bytes ? length : 0);
    return RC_ERROR;
  }
  parsed->server_id = bytes[resp::kServerId];
  parsed->byte1 = bytes[resp::kByte1];
  parsed->status = bytes[resp::kStatus];
  parsed->byte3 = bytes[resp::kByte3];
  parsed->word4 = static_cast<uint16_t>(get_be(bytes + resp::kWord4, 2));
  parsed->word6 = static_cast<uint16_t>(get_be(bytes + resp::kWord6, 2));
  std::memcpy(parsed->echo, bytes + resp::kEcho, 16);

  const bool mail_framing = spec && spec->header_version == 1 && is_mail_content(spec->command_group, spec->command);
  if (mail_framing) {
    if (bytes[resp::kFramingVersion] != resp::kMailFramingVersion) {
      log_error(CAT_PROTO, "Unsupported Pelko response framing version: %u", bytes[resp::kFramingVersion]);
      return RC_ERROR;
    }
    parsed->body_length = get_be(bytes + resp::kBodyLength32, 4);
  } else {
    parsed->body_length = get_be(bytes + resp::kBodyLength24, 3);
    parsed->dword12 = static_cast<uint32_t>(get_be(bytes + resp::kDword12, 4));
  }
  const uint32_t type = spec ? spec->encryption_type : enc::kNone;
  const size_t rest = length - kHeaderSize;
  const uint8_t* body_in = bytes + kHeaderSize;

  const bool gcm = spec && (type == enc::kGcmDual || (type == enc::kGcmMail && spec->header_version == 2));
  if (gcm) {
    if (rest != parsed->body_length) {
      log_error(CAT_PROTO, "Type 8 response length mismatch: packet=%zu body=%zu", length, (size_t)parsed->body_length);
      return RC_ERROR;
    }
    if (is_plain_error_status(parsed->status) && parsed->body_length == 0 && all_zero(parsed->echo, 16)) {
      parsed->plain_error = true;
      return RC_OK;
    }
    size_t n = rest;
    if (n > 0) {
      if (n < kTerminatorSize || body_in[n - 1] != kTerminator || body_in[n - 2] != kTerminator) {
        log_error(CAT_PROTO, "Type 8 response terminator missing");
        return RC_ERROR;
      }
      n -= kTerminatorSize;
    }
    uint8_t key[32];
    if (!gcm_key(*spec, key)) return RC_INVALID_PARAM;
    uint8_t nonce[12];
    std::memcpy(nonce, spec->nonce, 12);
    nonce[0] |= kResponseNonceBit;
    Secret body(body_in, n);
    uint8_t tag[16];
    std::memcpy(tag, parsed->echo, 16);
    ResultCode rc = aes256_gcm(false, key, nonce, bytes, resp::kAadSize, n ? body.data() : nullptr, n, tag);
    OPENSSL_cleanse(key, sizeof key);
    if (rc != RC_OK) {
      log_warn(CAT_PROTO, "Response tag check failed (KOVRA %u, status %u)", parsed->server_id, parsed->status);
      return RC_ENCRYPTION;
    }
    parsed->body = std::move(body);
    parsed->challenge_ok = true;
    return RC_OK;
  }

  Secret body;
  if (mail_framing) {
    if (rest != parsed->body_length) {
      log_error(CAT_PROTO, "Pelko response length mismatch: packet=%zu body=%zu", length, (size_t)parsed->body_length);
      return RC_ERROR;
    }
    size_t n = rest;
    if (n > 0) {
      if (n < kTerminatorSize || body_in[n - 1] != kTerminator || body_in[n - 2] != kTerminator) {
        log_error(CAT_PROTO, "Pelko response terminator missing");
        return RC_ERROR;
      }
      n -= kTerminatorSize;
    }
    body.assign(body_in, n);
  } else {
    // A body that is not the length its header announced (a cut or padded datagram) is a
    // damaged answer, never one to judge.
    if (rest != parsed->body_length) {
      log_error(CAT_PROTO, "Response length mismatch: packet=%zu body=%zu", length, (size_t)parsed->body_length);
      return RC_ERROR;
    }
    body.assign(body_in, rest);
  }
  if (spec && keyed_ctr(*spec) && body.size() > 0) {
    // A body that cannot be decrypted is never handed on as if it had been.
    if (spec->key.key_a_secret.size() != 16 ||
        aes128_ctr_nonce8(spec->key.key_a_secret.data(), spec->nonce, body.data(), body.size()) != RC_OK) {
      log_error(CAT_PROTO, "Failed to decrypt response body");
      return RC_ENCRYPTION;
    }
  }
  parsed->body = std::move(body);

  if (spec) {
    if (type == enc::kNone) {
      parsed->challenge_ok = CRYPTO_memcmp(parsed->echo, spec->challenge, 16) == 0;
    } else if (keyed_ctr(*spec) && spec->key.key_a_secret.size() == 16) {
      uint8_t expect[16];
      for (int i = 0; i < 16; ++i) expect[i] = spec->challenge[i] ^ spec->key.key_a_secret[i];
      parsed->challenge_ok = CRYPTO_memcmp(parsed->echo, expect, 16) == 0;
      OPENSSL_cleanse(expect, sizeof expect);
    }
  }
  return RC_OK;
}

bool response_is_proven(const PacketSpec& spec, const ParsedResponse& parsed) {
  switch (spec.encryption_type) {
    case enc::kNone:
      return parsed.challenge_ok;
    case enc::kAes128Coin:
    case enc::kAes128Locker:
      return spec.has_key && parsed.challenge_ok;
    case enc::kGcmDual:
    case enc::kGcmMail:
      return parsed.challenge_ok || parsed.plain_error;
    default:
      return false;
  }
}

#include "sim_wire.h"

#include <cstring>

#include "sim_cipher.h"

size_t sim_request_header_length(const uint8_t* first32) {
  if (first32[kReqCloudId] == 2) return kLongHeader;
  return first32[kReqEncType] == kEncDualKey || first32[kReqEncType] == 9 ? kLongHeader : kShortHeader;
}

bool sim_is_mail_content(const uint8_t* header) {
  return header[kReqGroup] == 6 && header[kReqCommand] >= 76 && header[kReqCommand] <= 84;
}

size_t sim_request_total_length(const uint8_t* header, size_t header_length) {
  if (header[kReqCloudId] == 2 || (header[kReqCloudId] == 0 && sim_is_mail_content(header)))
    return header_length + be32(header + 10);
  return header_length + be16(header + kReqBodyLength);
}

uint8_t sim_parse_request(const uint8_t* p, size_t n, SimRequest* out) {
  if (n < kShortHeader) return kStInvalidLength;
  out->cloud_id = p[kReqCloudId];
  out->split_id = p[kReqSplitId];
  out->server_id = p[kReqServerId];
  out->shard_id = p[kReqShardId];
  out->group = p[kReqGroup];
  out->command = p[kReqCommand];
  out->coin_id = be16(p + kReqCoinId);
  out->enc_type = p[kReqEncType];
  out->key_a_denomination = static_cast<int8_t>(p[kReqKeyADenom]);
  out->key_a_serial = be32(p + kReqKeyASerial);
  out->body_length = be16(p + kReqBodyLength);
  // Header version 2 and the mail-key type arrive with the mail issue; until then they are
  // refused plainly rather than misread.
  if (out->cloud_id == 2) return kStUnsupportedHeader;
  if (out->cloud_id == 0 && sim_is_mail_content(p)) return kStNotImplemented;
  if (out->cloud_id != 1) return kStInvalidCloud;
  size_t header_length = sim_request_header_length(p);
  if (n < header_length) return kStInvalidLength;
  out->header_length = header_length;
  std::memcpy(out->header, p, header_length);
  if (header_length == kLongHeader) {
    out->key_b_denomination = static_cast<int8_t>(p[kReqKeyBDenom]);
    out->key_b_serial = be32(p + kReqKeyBSerial);
  }
  if (out->coin_id != kCoinId) return kStInvalidCoinId;
  if (out->enc_type != kEncNone && out->enc_type != kEncCoinKey && out->enc_type != kEncDualKey)
    return kStInvalidEncType;
  if (n - header_length != out->body_length || out->body_length < kChallengeBytes + 2) return kStInvalidLength;
  if (p[n - 2] != '>' || p[n - 1] != '>') return kStMissingTerminator;
  out->body.assign(p + header_length, p + n - 2);
  return kStNoError;
}

bool sim_challenge_crc_ok(const uint8_t* c) { return sim_crc32(c, 12) == be32(c + 12); }

void sim_fill_response_header(uint8_t* h, const SimRequest& req, uint8_t server_id, uint8_t status,
                              uint32_t body_length, const uint8_t* echo16) {
  std::memset(h, 0, kShortHeader);
  h[kRespServerId] = server_id;
  h[kRespSplitEcho] = req.split_id;
  h[kRespStatus] = status;
  h[kRespShardEcho] = req.shard_id;
  put_be24(h + kRespBodyLength, body_length);
  if (echo16) std::memcpy(h + kRespEcho, echo16, 16);
}

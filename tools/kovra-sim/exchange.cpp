#include "exchange.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "base/secret.h"
#include "sim_cipher.h"
#include "sim_wire.h"

namespace {

// The key a proven request was sent with, kept to encrypt the answer the same way.
struct ProvenKey {
  Secret key;               // 16 bytes for type 1, 32 for type 8
  uint8_t challenge[16] = {};
};

// An answer that proves nothing: status only, no body, zero echo bytes. For dual-key requests
// this is the plain error the client accepts for statuses 16, 25, 34 and 37.
std::vector<uint8_t> refusal(const SimRequest& req, uint8_t server, uint8_t status) {
  std::vector<uint8_t> out(kShortHeader);
  sim_fill_response_header(out.data(), req, server, status, 0, nullptr);
  return out;
}

// Frames an answer to a proven request. Bodies that are not empty end in ">>"; for the coin-key
// type the terminator is encrypted with the body, since the client decrypts everything after the
// header; for the dual-key type it follows the ciphertext in clear, outside the tag.
std::vector<uint8_t> framed(const SimRequest& req, uint8_t server, uint8_t status, const std::vector<uint8_t>& plain,
                            const ProvenKey& key) {
  size_t body_n = plain.empty() ? 0 : plain.size() + 2;
  std::vector<uint8_t> out(kShortHeader + body_n);
  uint8_t* body = out.data() + kShortHeader;
  if (!plain.empty()) {
    std::memcpy(body, plain.data(), plain.size());
    body[plain.size()] = '>';
    body[plain.size() + 1] = '>';
  }
  uint8_t echo[16];
  std::memcpy(echo, key.challenge, 16);
  if (req.enc_type == kEncCoinKey) {
    for (int i = 0; i < 16; ++i) echo[i] ^= key.key[i];
    if (sim_ctr_xor(key.key.data(), req.header + kReqNonce, body, body_n) != RC_OK)
      return refusal(req, server, 252);
  }
  sim_fill_response_header(out.data(), req, server, status, uint32_t(body_n), echo);
  if (req.enc_type == kEncDualKey) {
    uint8_t nonce[12];
    std::memcpy(nonce, req.header + kReqNonce12, 12);
    nonce[0] |= 0x80;  // answers use the request nonce with its top bit set, so the two never collide
    uint8_t tag[16];
    size_t ct_n = plain.size();
    if (sim_gcm(true, key.key.data(), nonce, out.data(), kRespAadLength, body, ct_n, tag) != RC_OK)
      return refusal(req, server, 252);
    std::memcpy(out.data() + kRespEcho, tag, 16);
  }
  OPENSSL_cleanse(echo, sizeof echo);
  return out;
}

// Finds the key coin(s) on this server and decrypts the body in place. 0 when the challenge is
// proven, else the refusal status.
uint8_t unlock(const SimRequest& req, int server, const CoinTable& table, Secret* body, ProvenKey* key) {
  if (req.enc_type == kEncNone) {
    if (!sim_challenge_crc_ok(body->data())) return kStInvalidCrc;
  } else if (req.enc_type == kEncCoinKey) {
    if (!table.lookup(server, {req.key_a_denomination, req.key_a_serial}, &key->key)) return kStKeyCoinNotFound;
    if (sim_ctr_xor(key->key.data(), req.header + kReqNonce, body->data(), body->size()) != RC_OK) return 252;
    // Only the right number turns the challenge back into 12 bytes and their CRC.
    if (!sim_challenge_crc_ok(body->data())) return kStKeyNotValidated;
  } else {
    Secret a, b;
    if (!table.lookup(server, {req.key_a_denomination, req.key_a_serial}, &a) ||
        !table.lookup(server, {req.key_b_denomination, req.key_b_serial}, &b))
      return kStKeyCoinNotFound;
    key->key = Secret(32);
    std::memcpy(key->key.data(), a.data(), 16);
    std::memcpy(key->key.data() + 16, b.data(), 16);
    uint8_t tag[16];
    std::memcpy(tag, req.header + kReqTag, 16);
    if (sim_gcm(false, key->key.data(), req.header + kReqNonce12, req.header, kReqAadLength, body->data(),
                body->size(), tag) != RC_OK)
      return kStKeyNotValidated;
    if (!sim_challenge_crc_ok(body->data())) return kStInvalidCrc;
  }
  std::memcpy(key->challenge, body->data(), 16);
  return kStNoError;
}

}  // namespace

namespace {
// Changes a framed answer after the fact, the way a faulty server or network would.
void damage(const FaultRule& f, ExchangeOutcome* out) {
  std::vector<uint8_t>& r = out->response;
  switch (f.kind) {
    case FaultKind::kBadEcho:
      for (size_t i = kRespEcho; i < kRespEcho + 16; ++i) r[i] ^= 0xA5;
      break;
    case FaultKind::kCorruptBody:
      if (r.size() > kShortHeader) r[kShortHeader] ^= 0x01;
      break;
    case FaultKind::kWrongLength: {
      int64_t announced = int64_t(r.size() - kShortHeader) + f.length_delta;
      put_be24(r.data() + kRespBodyLength, uint32_t(std::clamp<int64_t>(announced, 0, 0xFFFFFF)));
      break;
    }
    case FaultKind::kCloseAfterHeader:
      out->send_limit = kShortHeader;
      break;
    case FaultKind::kDelay:
      out->delay_ms = f.delay_ms;
      break;
    case FaultKind::kDropReply:
      out->reply = false;
      break;
    default:
      break;
  }
}
}  // namespace

ExchangeOutcome Exchange::handle(int server, SimTransport transport, const uint8_t* bytes, size_t n) const {
  ExchangeOutcome out;
  SimRequest req;
  uint8_t st = sim_parse_request(bytes, n, &req);
  if (st == kStNoError && req.server_id != server) st = kStWrongServer;
  FaultRule fault;
  bool faulty = faults_ && faults_->take(server, req.group, req.command, &fault);
  if (faulty && fault.kind == FaultKind::kDown) {
    out.reply = false;
    out.reset = true;
    counters_->record(server, req.group, req.command, transport, false, false, 0);
    return out;
  }
  if (faulty && fault.kind == FaultKind::kRefuse && st == kStNoError) st = fault.status;
  Secret body;
  ProvenKey key;
  bool applied = false;
  if (st == kStNoError) {
    body.assign(req.body.data(), req.body.size());
    OPENSSL_cleanse(req.body.data(), req.body.size());
    st = unlock(req, server, *table_, &body, &key);
  }
  if (st != kStNoError) {
    out.status = faulty && fault.kind == FaultKind::kForceStatus ? fault.status : st;
    out.response = refusal(req, uint8_t(server), out.status);
  } else {
    CommandReply reply;
    const CommandEntry* entry = registry_->find(req.group, req.command);
    if (!entry) {
      reply.status = kStNotImplemented;
    } else {
      CommandContext ctx{server, table_, &req, body.data() + kChallengeBytes, body.size() - kChallengeBytes};
      entry->handler(ctx, &reply);
      applied = true;
    }
    // A forced status still comes with the proof, so the client cannot tell it from an honest one.
    if (faulty && fault.kind == FaultKind::kForceStatus) reply.status = fault.status;
    out.response = framed(req, uint8_t(server), reply.status, reply.body, key);
    out.status = reply.status;
    if (transport == SimTransport::kUdp && out.response.size() > kUdpReplyLimit) {
      // The client reads one datagram of at most 4096 bytes; a longer answer must go over TCP.
      out.status = kStTcpRequired;
      out.response = framed(req, uint8_t(server), kStTcpRequired, {}, key);
    }
    OPENSSL_cleanse(reply.body.data(), reply.body.size());
  }
  if (faulty) damage(fault, &out);
  counters_->record(server, req.group, req.command, transport, applied, out.reply, out.status);
  return out;
}

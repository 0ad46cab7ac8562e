#include "wire_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "net/crypto.h"

namespace simtest {

namespace {
void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

int open_socket(int type, int port, int timeout_ms) {
  int fd = socket(AF_INET, type, 0);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

std::vector<uint8_t> build(HandRequest* r) {
  bool dual = r->enc_type == 8;
  size_t header = dual ? 64 : 32;
  size_t body = 16 + r->payload.size() + 2;
  std::vector<uint8_t> p(header + body, 0);
  (void)random_fill(r->challenge, 12);
  put32(r->challenge + 12, crc32_ieee(r->challenge, 12));
  (void)random_fill(r->nonce, sizeof r->nonce);
  if (dual) r->nonce[0] &= 0x7F;
  p[0] = 1;              // cloud id
  p[1] = 0;              // split id
  p[2] = r->server;
  p[3] = 3;              // shard id
  p[4] = r->group;
  p[5] = r->command;
  p[6] = 0;
  p[7] = 6;              // coin id
  p[8] = 1;
  p[16] = r->enc_type;
  if (r->enc_type == 1 || dual) {
    p[17] = uint8_t(r->a.denomination);
    put32(&p[18], r->a.serial);
  }
  p[22] = uint8_t(body >> 8);
  p[23] = uint8_t(body);
  if (dual) {
    p[24] = uint8_t(r->b.denomination);
    put32(&p[25], r->b.serial);
    std::memcpy(&p[29], r->nonce, 12);
  } else {
    std::memcpy(&p[24], r->nonce, 8);
  }
  uint8_t* b = &p[header];
  std::memcpy(b, r->challenge, 16);
  if (!r->payload.empty()) std::memcpy(b + 16, r->payload.data(), r->payload.size());
  b[body - 2] = '>';
  b[body - 1] = '>';
  if (r->enc_type == 1) {
    (void)aes128_ctr_nonce8(r->a.number.data(), r->nonce, b, body - 2);
  } else if (dual) {
    uint8_t key[32];
    std::memcpy(key, r->a.number.data(), 16);
    std::memcpy(key + 16, r->b.number.data(), 16);
    (void)aes256_gcm(true, key, r->nonce, p.data(), 48, b, body - 2, &p[48]);
  }
  return p;
}

HandResponse read_response(const HandRequest& r, const std::vector<uint8_t>& bytes) {
  HandResponse out;
  if (bytes.size() < 32) return out;
  out.ok = true;
  out.server = bytes[0];
  out.status = bytes[2];
  out.body_length = uint32_t(bytes[9]) << 16 | uint32_t(bytes[10]) << 8 | bytes[11];
  std::memcpy(out.echo, &bytes[16], 16);
  out.body.assign(bytes.begin() + 32, bytes.end());
  out.plain = out.body;
  if (r.enc_type == 0) {
    out.proven = std::memcmp(out.echo, r.challenge, 16) == 0;
  } else if (r.enc_type == 1) {
    uint8_t want[16];
    for (int i = 0; i < 16; ++i) want[i] = r.challenge[i] ^ r.a.number[i];
    out.proven = std::memcmp(out.echo, want, 16) == 0;
    if (!out.plain.empty()) (void)aes128_ctr_nonce8(r.a.number.data(), r.nonce, out.plain.data(), out.plain.size());
  } else {
    static const uint8_t zero[16] = {};
    if (out.body.empty() && std::memcmp(out.echo, zero, 16) == 0) {
      out.plain_error = true;
      return out;
    }
    uint8_t key[32];
    std::memcpy(key, r.a.number.data(), 16);
    std::memcpy(key + 16, r.b.number.data(), 16);
    uint8_t nonce[12];
    std::memcpy(nonce, r.nonce, 12);
    nonce[0] |= 0x80;
    size_t ct = out.body.size() >= 2 ? out.body.size() - 2 : 0;
    bool terminated = out.body.empty() || (out.body.size() >= 2 && out.body[ct] == '>' && out.body[ct + 1] == '>');
    uint8_t tag[16];
    std::memcpy(tag, out.echo, 16);
    out.plain.assign(out.body.begin(), out.body.begin() + ct);
    out.proven = terminated && aes256_gcm(false, key, nonce, bytes.data(), 16, out.plain.data(), ct, tag) == RC_OK;
    if (out.proven && !out.body.empty()) out.plain.insert(out.plain.end(), {'>', '>'});
  }
  return out;
}

std::vector<uint8_t> tcp_exchange(int port, const std::vector<uint8_t>& request, int timeout_ms) {
  std::vector<uint8_t> in;
  int fd = open_socket(SOCK_STREAM, port, timeout_ms);
  if (fd < 0) return in;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  uint8_t buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) in.insert(in.end(), buf, buf + n);
  close(fd);
  return in;
}

std::vector<uint8_t> udp_exchange(int port, const std::vector<uint8_t>& request, int timeout_ms) {
  std::vector<uint8_t> in;
  int fd = open_socket(SOCK_DGRAM, port, timeout_ms);
  if (fd < 0) return in;
  send(fd, request.data(), request.size(), 0);
  uint8_t buf[65536];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n > 0) in.assign(buf, buf + n);
  close(fd);
  return in;
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace simtest

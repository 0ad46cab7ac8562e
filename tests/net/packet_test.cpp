// Byte vectors here are written out from the header layout tables; the encrypted parts were
// computed once with an independent AES implementation, not with the builder under test.
#include "net/packet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "net/crypto.h"
#include "net/kovra_protocol.h"

namespace {

std::vector<uint8_t> unhex(std::string s) {
  std::string t;
  for (char c : s)
    if (c != ' ') t += c;
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < t.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(t.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> bytes_of(const Secret& s) { return std::vector<uint8_t>(s.data(), s.data() + s.size()); }

const char* kChallenge = "c0c1c2c3c4c5c6c7c8c9cacb 5a3f7387";  // 12 bytes + their CRC-32, big-endian

void fix_challenge(PacketSpec* spec) {
  auto c = unhex(kChallenge);
  std::copy(c.begin(), c.end(), spec->challenge);
  spec->challenge_set = true;
}

void fix_nonce(PacketSpec* spec, const char* hex) {
  auto n = unhex(hex);
  std::copy(n.begin(), n.end(), spec->nonce);
  spec->nonce_set = true;
}

KeyMaterial dual_key() {
  KeyMaterial k;
  k.type = 8;
  k.dual = true;
  k.key_a_denomination = 1;
  k.key_a_serial = 0x00010203;
  k.key_b_denomination = 2;
  k.key_b_serial = 0x0A0B0C0D;
  auto a = unhex("000102030405060708090a0b0c0d0e0f");
  auto b = unhex("101112131415161718191a1b1c1d1e1f");
  k.key_a_secret.assign(a.data(), a.size());
  k.key_b_secret.assign(b.data(), b.size());
  return k;
}

PacketSpec type8_spec() {
  PacketSpec s;
  packet_spec_init(&s);
  s.server_id = 7;
  s.command_group = 9;
  s.command = 90;
  s.encryption_type = 8;
  s.has_key = true;
  s.key = dual_key();
  fix_challenge(&s);
  fix_nonce(&s, "0102030405060708090a0b0c");
  return s;
}

PacketSpec type1_spec() {
  PacketSpec s;
  packet_spec_init(&s);
  s.server_id = 4;
  s.command_group = 1;
  s.command = 10;
  s.encryption_type = 1;
  s.has_key = true;
  s.key.type = 1;
  s.key.key_a_denomination = 3;
  s.key.key_a_serial = 12345;
  auto k = unhex("000102030405060708090a0b0c0d0e0f");
  s.key.key_a_secret.assign(k.data(), k.size());
  fix_challenge(&s);
  fix_nonce(&s, "a0a1a2a3a4a5a6a7");
  return s;
}

TEST(Packet, EmptyType0EchoIs50Bytes) {
  PacketSpec s;
  packet_spec_init(&s);
  s.server_id = 5;
  fix_challenge(&s);
  fix_nonce(&s, "1122334455667788");
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  auto expect = unhex(
      "01 00 05 03 00 00 0006 01 00 00000000 0000"  // cloud, split, server, shard, group, command, coin id, 1
      "00 00 00000000 0012 1122334455667788"        // type 0, no key id, body length 18, nonce
      "c0c1c2c3c4c5c6c7c8c9cacb5a3f7387 3e3e");     // challenge, terminator
  EXPECT_EQ(bytes_of(out), expect);
}

TEST(Packet, FreshChallengeEndsInCrcOfItsRandomBytes) {
  PacketSpec s;
  packet_spec_init(&s);
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  ASSERT_EQ(out.size(), 50u);
  uint32_t crc = crc32_ieee(out.data() + 32, 12);
  EXPECT_EQ(out[44], crc >> 24);
  EXPECT_EQ(out[45], (crc >> 16) & 0xFF);
  EXPECT_EQ(out[46], (crc >> 8) & 0xFF);
  EXPECT_EQ(out[47], crc & 0xFF);
}

TEST(Packet, EmptyType8RequestIs82Bytes) {
  PacketSpec s = type8_spec();
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  auto expect = unhex(
      "01 00 07 03 09 5a 0006 01 00 00000000 0000"
      "08 01 00010203 0012 02 0a0b0c0d 0102030405060708090a0b0c 00000000000000"
      "2c647fad945f80a56c05e5c8c915f2ae"   // GCM tag over header bytes 0-47
      "c52b981628513641846ba98c4a2c99af"   // encrypted challenge
      "3e3e");
  EXPECT_EQ(bytes_of(out), expect);
}

TEST(Packet, Type8RefusedForMailContentAndWithoutDualKey) {
  PacketSpec s = type8_spec();
  s.command_group = 6;
  s.command = 80;
  Secret out;
  EXPECT_EQ(packet_build(&s, &out), RC_INVALID_PARAM);
  EXPECT_EQ(out.size(), 0u);
  PacketSpec t = type8_spec();
  t.key.dual = false;
  EXPECT_EQ(packet_build(&t, &out), RC_INVALID_PARAM);
}

TEST(Packet, LegacyHeaderPayloadLimit) {
  struct Case {
    size_t payload;
    ResultCode rc;
  } cases[] = {{65517, RC_OK}, {65518, RC_INVALID_PARAM}};
  for (const Case& c : cases) {
    PacketSpec s;
    packet_spec_init(&s);
    std::vector<uint8_t> payload(c.payload, 0x55);
    packet_spec_set_payload(&s, payload.data(), payload.size());
    Secret out;
    ASSERT_EQ(packet_build(&s, &out), c.rc) << c.payload;
    if (c.rc == RC_OK) {
      ASSERT_EQ(out.size(), 32u + 65535u);
      EXPECT_EQ(out[22], 0xFF);
      EXPECT_EQ(out[23], 0xFF);
    }
  }
}

TEST(Packet, MailContentHeaderCarries32BitLength) {
  PacketSpec s = type1_spec();
  s.command_group = 6;
  s.command = 77;
  std::vector<uint8_t> payload(70000, 1);  // beyond the 16-bit limit, allowed for object transfers
  packet_spec_set_payload(&s, payload.data(), payload.size());
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  auto head = std::vector<uint8_t>(out.data(), out.data() + 24);
  // cloud id 0, bytes 8-9 = 00 01, bytes 10-13 = 70018, bytes 22-23 = FFFF
  EXPECT_EQ(head, unhex("00 00 04 03 06 4d 0006 00 01 00011182 0000 01 03 00003039 ffff"));
}

TEST(Packet, Type1EncryptsChallengeAndPayloadButNotTerminator) {
  PacketSpec s = type1_spec();
  auto payload = unhex("abcdef");
  packet_spec_set_payload(&s, payload.data(), payload.size());
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  auto expect = unhex(
      "01 00 04 03 01 0a 0006 01 00 00000000 0000"
      "01 03 00003039 0015 a0a1a2a3a4a5a6a7"
      "1be9565ffa687ba7afc23624775f0a48cb2bdd 3e3e");
  EXPECT_EQ(bytes_of(out), expect);
}

TEST(Packet, Type2KeyNamesItselfAndFixesTheNonce) {
  PacketSpec s;
  packet_spec_init(&s);
  s.server_id = 2;
  s.command_group = 8;
  s.command = 83;
  s.encryption_type = 2;
  s.has_key = true;
  s.key.type = 2;
  auto k = unhex("05112233445566778899aabbccddeeff");
  s.key.key_a_secret.assign(k.data(), k.size());
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  EXPECT_EQ(std::vector<uint8_t>(out.data() + 16, out.data() + 32), unhex("02 05 11223344 0012 0000001111 223344"));
}

TEST(Packet, KeyedTypeWithPayloadButNoKeyIsRefused) {
  for (uint32_t type : {1u, 2u}) {
    PacketSpec s;
    packet_spec_init(&s);
    s.encryption_type = type;
    auto payload = unhex("0102");
    packet_spec_set_payload(&s, payload.data(), payload.size());
    Secret out;
    EXPECT_EQ(packet_build(&s, &out), RC_INVALID_PARAM) << type;
  }
  // The keyless echo probe (type 1, empty payload) is still built, unencrypted.
  PacketSpec probe;
  packet_spec_init(&probe);
  probe.encryption_type = 1;
  fix_challenge(&probe);
  Secret out;
  ASSERT_EQ(packet_build(&probe, &out), RC_OK);
  EXPECT_EQ(out[16], 1);
  EXPECT_EQ(std::vector<uint8_t>(out.data() + 32, out.data() + 48), unhex(kChallenge));
}

TEST(Packet, Type9NeedsHeaderVersion2) {
  PacketSpec s;
  packet_spec_init(&s);
  s.command_group = 6;
  s.command = 71;
  s.encryption_type = 9;
  s.has_key = true;
  s.key.mail_key_present = true;
  Secret mk(32);
  s.key.mail_key = mk;
  auto payload = unhex("01");
  packet_spec_set_payload(&s, payload.data(), payload.size());
  Secret out;
  EXPECT_EQ(packet_build(&s, &out), RC_INVALID_PARAM);
}

TEST(Packet, RebuildReusesChallengeAndNonce) {
  for (uint32_t type : {0u, 8u}) {
    PacketSpec s = type8_spec();
    s.encryption_type = type;
    s.challenge_set = false;
    s.nonce_set = false;
    Secret first, second;
    ASSERT_EQ(packet_build(&s, &first), RC_OK);
    uint8_t challenge[16], nonce[12];
    std::copy(s.challenge, s.challenge + 16, challenge);
    std::copy(s.nonce, s.nonce + 12, nonce);
    ASSERT_EQ(packet_build(&s, &second), RC_OK);
    EXPECT_EQ(bytes_of(first), bytes_of(second)) << type;
    EXPECT_TRUE(std::equal(challenge, challenge + 16, s.challenge));
    EXPECT_TRUE(std::equal(nonce, nonce + 12, s.nonce));
    if (type == 8) {
      EXPECT_EQ(s.nonce[0] & 0x80, 0);
    }
  }
}

TEST(Packet, Type8NonceFailsWhenStrictRandomFails) {
  PacketSpec s = type8_spec();
  s.nonce_set = false;
  setenv("RESTCORE_TEST_RNG_FAIL", "1", 1);
  Secret out;
  ResultCode rc = packet_build(&s, &out);
  unsetenv("RESTCORE_TEST_RNG_FAIL");
  EXPECT_EQ(rc, RC_ENCRYPTION);
  EXPECT_EQ(out.size(), 0u);
}

// ---- Responses ----

std::vector<uint8_t> response_header(uint8_t server, uint8_t status, uint32_t body_len24, const std::string& echo_hex) {
  std::vector<uint8_t> h = {server, 0, status, 0, 0, 0, 0, 0, 0,
                            static_cast<uint8_t>(body_len24 >> 16), static_cast<uint8_t>(body_len24 >> 8),
                            static_cast<uint8_t>(body_len24), 0, 0, 0, 0};
  auto e = unhex(echo_hex);
  h.insert(h.end(), e.begin(), e.end());
  return h;
}

TEST(Packet, Type8PlainErrorNeedsNoDecryption) {
  PacketSpec s = type8_spec();
  auto r = response_header(7, 34, 0, "00000000000000000000000000000000");
  ParsedResponse p;
  ASSERT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_OK);
  EXPECT_TRUE(p.plain_error);
  EXPECT_FALSE(p.challenge_ok);
  EXPECT_EQ(p.status, 34);
  EXPECT_TRUE(response_is_proven(s, p));
  // The same status with a non-zero tag is not a plain error: it must authenticate, and cannot.
  auto forged = response_header(7, 34, 0, "01000000000000000000000000000000");
  EXPECT_EQ(response_parse(forged.data(), forged.size(), &s, &p), RC_ENCRYPTION);
}

TEST(Packet, Type8ResponseDecryptsWithFlaggedNonce) {
  PacketSpec s = type8_spec();
  auto r = response_header(7, 250, 13, "fe1844f713e09d4bdd9ad1d9eb88a5f5");
  auto body = unhex("2e769e47892f3dc25576733e3e");
  r.insert(r.end(), body.begin(), body.end());
  ParsedResponse p;
  ASSERT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_OK);
  EXPECT_TRUE(p.challenge_ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.body.data()), p.body.size()), "hello kovra");
  // One flipped tag bit: no answer at all, and no body handed on.
  r[16] ^= 0x01;
  EXPECT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_ENCRYPTION);
  EXPECT_EQ(p.body.size(), 0u);
  EXPECT_FALSE(p.challenge_ok);
}

TEST(Packet, Type8ResponseFramingErrors) {
  PacketSpec s = type8_spec();
  auto r = response_header(7, 250, 14, "fe1844f713e09d4bdd9ad1d9eb88a5f5");  // announces 14, carries 13
  auto body = unhex("2e769e47892f3dc25576733e3e");
  r.insert(r.end(), body.begin(), body.end());
  ParsedResponse p;
  EXPECT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_ERROR);
  auto t = response_header(7, 250, 13, "fe1844f713e09d4bdd9ad1d9eb88a5f5");
  auto no_term = unhex("2e769e47892f3dc25576733e00");
  t.insert(t.end(), no_term.begin(), no_term.end());
  EXPECT_EQ(response_parse(t.data(), t.size(), &s, &p), RC_ERROR);
  PacketSpec keyless = type8_spec();
  keyless.has_key = false;
  auto ok = response_header(7, 250, 13, "fe1844f713e09d4bdd9ad1d9eb88a5f5");
  ok.insert(ok.end(), body.begin(), body.end());
  EXPECT_EQ(response_parse(ok.data(), ok.size(), &keyless, &p), RC_INVALID_PARAM);
}

TEST(Packet, Type1ChallengeEchoMustBeXoredWithKey) {
  PacketSpec s = type1_spec();
  struct Case {
    const char* echo;
    bool ok;
  } cases[] = {
      {"c0c0c0c0c0c0c0c0c0c0c0c056327d88", true},   // challenge XOR key
      {"c0c1c2c3c4c5c6c7c8c9cacb5a3f7387", false},  // the challenge itself: no proof of the key
  };
  for (const Case& c : cases) {
    auto r = response_header(4, 241, 3, c.echo);
    auto body = unhex("2ada67");
    r.insert(r.end(), body.begin(), body.end());
    ParsedResponse p;
    ASSERT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_OK) << c.echo;
    EXPECT_EQ(p.challenge_ok, c.ok) << c.echo;
    EXPECT_EQ(response_is_proven(s, p), c.ok) << c.echo;
    EXPECT_EQ(std::vector<uint8_t>(p.body.data(), p.body.data() + p.body.size()), unhex("f1f2f3"));
    EXPECT_EQ(p.status, 241);
  }
}

TEST(Packet, Type1BodyThatCannotBeDecryptedFailsTheParse) {
  PacketSpec s = type1_spec();
  auto short_key = unhex("0001020304");
  s.key.key_a_secret.assign(short_key.data(), short_key.size());
  auto r = response_header(4, 250, 3, "c0c0c0c0c0c0c0c0c0c0c0c056327d88");
  auto body = unhex("2ada67");
  r.insert(r.end(), body.begin(), body.end());
  ParsedResponse p;
  EXPECT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_ENCRYPTION);
  EXPECT_EQ(p.body.size(), 0u);
}

TEST(Packet, Type0ChallengeEchoAndNoSpec) {
  PacketSpec s;
  packet_spec_init(&s);
  fix_challenge(&s);
  auto r = response_header(0, 250, 0, kChallenge);
  ParsedResponse p;
  ASSERT_EQ(response_parse(r.data(), r.size(), &s, &p), RC_OK);
  EXPECT_TRUE(p.challenge_ok);
  ASSERT_EQ(response_parse(r.data(), r.size(), nullptr, &p), RC_OK);
  EXPECT_FALSE(p.challenge_ok);
  EXPECT_EQ(p.status, 250);
  EXPECT_EQ(response_parse(r.data(), 31, &s, &p), RC_ERROR);
}

// A datagram carries no length of its own: a body longer or shorter than its header announced is a
// damaged answer for every type, not a short or padded one to judge.
TEST(Packet, BodyNotOfTheAnnouncedLengthFailsTheParse) {
  PacketSpec plain;
  packet_spec_init(&plain);
  fix_challenge(&plain);
  PacketSpec keyed = type1_spec();
  struct Case {
    const char* name;
    const PacketSpec* spec;
    uint8_t server;
    const char* echo;
    uint32_t announced;
    const char* body;
    ResultCode rc;
  } cases[] = {
      {"type 0, as announced", &plain, 0, kChallenge, 3, "f1f2f3", RC_OK},
      {"type 0, one byte more announced", &plain, 0, kChallenge, 4, "f1f2f3", RC_ERROR},
      {"type 0, one byte fewer announced", &plain, 0, kChallenge, 2, "f1f2f3", RC_ERROR},
      {"type 0, a body announced but none sent", &plain, 0, kChallenge, 5, "", RC_ERROR},
      {"type 0, no body announced but one sent", &plain, 0, kChallenge, 0, "f1", RC_ERROR},
      {"no spec, padded", nullptr, 0, kChallenge, 1, "f1f2", RC_ERROR},
      {"type 1, as announced", &keyed, 4, "c0c0c0c0c0c0c0c0c0c0c0c056327d88", 3, "2ada67", RC_OK},
      {"type 1, more announced", &keyed, 4, "c0c0c0c0c0c0c0c0c0c0c0c056327d88", 8, "2ada67", RC_ERROR},
      {"type 1, fewer announced", &keyed, 4, "c0c0c0c0c0c0c0c0c0c0c0c056327d88", 1, "2ada67", RC_ERROR},
  };
  for (const Case& c : cases) {
    auto r = response_header(c.server, 250, c.announced, c.echo);
    auto body = unhex(c.body);
    r.insert(r.end(), body.begin(), body.end());
    ParsedResponse p;
    EXPECT_EQ(response_parse(r.data(), r.size(), c.spec, &p), c.rc) << c.name;
    if (c.rc != RC_OK) {
      EXPECT_EQ(p.body.size(), 0u) << c.name;
      EXPECT_FALSE(p.challenge_ok) << c.name;
    } else {
      EXPECT_EQ(p.body.size(), 3u) << c.name;
      EXPECT_TRUE(p.challenge_ok) << c.name;
    }
  }
}

TEST(Packet, MailFramingChecksVersionLengthAndTerminator) {
  PacketSpec s = type1_spec();
  s.command_group = 6;
  s.command = 80;
  auto make = [](uint8_t framing, uint32_t len, const std::string& body_hex) {
    std::vector<uint8_t> r = {4, 0, 250, 0, 0, 0, 0, 0, framing, static_cast<uint8_t>(len >> 24),
                              static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len),
                              0, 0, 0};
    auto e = unhex("c0c0c0c0c0c0c0c0c0c0c0c056327d88");
    r.insert(r.end(), e.begin(), e.end());
    auto b = unhex(body_hex);
    r.insert(r.end(), b.begin(), b.end());
    return r;
  };
  ParsedResponse p;
  auto good = make(1, 5, "2ada673e3e");
  ASSERT_EQ(response_parse(good.data(), good.size(), &s, &p), RC_OK);
  EXPECT_EQ(std::vector<uint8_t>(p.body.data(), p.body.data() + p.body.size()), unhex("f1f2f3"));
  EXPECT_TRUE(p.challenge_ok);
  auto bad_version = make(2, 5, "2ada673e3e");
  EXPECT_EQ(response_parse(bad_version.data(), bad_version.size(), &s, &p), RC_ERROR);
  auto bad_length = make(1, 6, "2ada673e3e");
  EXPECT_EQ(response_parse(bad_length.data(), bad_length.size(), &s, &p), RC_ERROR);
  auto no_term = make(1, 5, "2ada673e00");
  EXPECT_EQ(response_parse(no_term.data(), no_term.size(), &s, &p), RC_ERROR);
}

// ---- Header version 2 ----

PacketSpec v2_mail_spec() {
  PacketSpec s;
  packet_spec_init(&s);
  s.header_version = 2;
  s.server_id = 1;
  s.command_group = 6;
  s.command = 71;
  s.encryption_type = 9;
  s.has_key = true;
  s.key.type = 9;
  s.key.mail_key_present = true;
  std::vector<uint8_t> mk(32, 0x77);
  s.key.mail_key.assign(mk.data(), mk.size());
  uint8_t id[5] = {1, 2, 3, 4, 5};
  std::copy(id, id + 5, s.key.mail_key_id);
  s.content_value = 42;
  std::vector<uint8_t> payload(40, 0);
  std::copy(id, id + 5, payload.begin());
  payload[35] = 9;
  packet_spec_set_payload(&s, payload.data(), payload.size());
  return s;
}

TEST(Packet, Version2MailRequestLayout) {
  PacketSpec s = v2_mail_spec();
  fix_challenge(&s);
  fix_nonce(&s, "0102030405060708090a0b0c");
  Secret out;
  ASSERT_EQ(packet_build(&s, &out), RC_OK);
  ASSERT_EQ(out.size(), 64u + 16u + 40u + 2u);
  auto head = std::vector<uint8_t>(out.data(), out.data() + 48);
  EXPECT_EQ(head, unhex("02 00 01 03 06 47 0006 01 00 0000003a 0000 09 0102030405 0000000000"
                        "0102030405060708090a0b0c 000000000000002a 00"));
  // The body decrypts under the mail key with header bytes 0-47 as additional data.
  std::vector<uint8_t> body(out.data() + 64, out.data() + out.size() - 2);
  std::vector<uint8_t> mk(32, 0x77);
  uint8_t tag[16];
  std::copy(out.data() + 48, out.data() + 64, tag);
  ASSERT_EQ(aes256_gcm(false, mk.data(), s.nonce, out.data(), 48, body.data(), body.size(), tag), RC_OK);
  EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 16), unhex(kChallenge));
}

TEST(Packet, Version2Refusals) {
  struct Case {
    const char* what;
    void (*change)(PacketSpec*);
  } cases[] = {
      {"group outside 6/16", [](PacketSpec* s) { s->command_group = 8; }},
      {"type 1", [](PacketSpec* s) { s->encryption_type = 1; }},
      {"type 0 without plaintext allowed", [](PacketSpec* s) { s->encryption_type = 0; s->has_key = false; }},
      {"type 9 with sub-version 2", [](PacketSpec* s) { s->content_subversion = 2; }},
      {"split id", [](PacketSpec* s) { s->split_id = 1; }},
      {"empty payload", [](PacketSpec* s) { s->payload.clear(); }},
      {"key id without content value", [](PacketSpec* s) { s->content_value = 0; }},
      {"payload prefix not the key id", [](PacketSpec* s) { s->payload[0] = 9; }},
      {"no mail key", [](PacketSpec* s) { s->key.mail_key_present = false; }},
  };
  for (const Case& c : cases) {
    PacketSpec s = v2_mail_spec();
    c.change(&s);
    Secret out;
    EXPECT_EQ(packet_build(&s, &out), RC_INVALID_PARAM) << c.what;
  }
  PacketSpec ok = v2_mail_spec();
  Secret out;
  EXPECT_EQ(packet_build(&ok, &out), RC_OK);
}

}  // namespace

#include "fuzz_fixtures.h"

#include <cstring>

#include "net/crypto.h"

namespace fuzzfix {

Secret number(int server, uint32_t serial) {
  Secret s(16);
  for (int i = 0; i < 16; ++i) s.data()[i] = uint8_t(server * 31 + serial * 17 + i * 7);
  return s;
}

void fill_table(CoinTable* table) {
  for (int s = 0; s < kSimServers; ++s) {
    table->put(s, {kKeyDenomination, kKeyASerial}, number(s, kKeyASerial));
    table->put(s, {kKeyDenomination, kKeyBSerial}, number(s, kKeyBSerial));
  }
}

void make_spec(int which, uint8_t server, uint8_t group, uint8_t command, PacketSpec* spec) {
  packet_spec_init(spec);
  spec->server_id = server;
  spec->command_group = group;
  spec->command = command;
  for (int i = 0; i < 12; ++i) spec->challenge[i] = uint8_t(0x40 + i);
  uint32_t crc = crc32_ieee(spec->challenge, 12);
  for (int i = 0; i < 4; ++i) spec->challenge[12 + i] = uint8_t(crc >> (24 - 8 * i));
  spec->challenge_set = true;
  for (int i = 0; i < 12; ++i) spec->nonce[i] = uint8_t(0x11 * (i + 1)) & 0x7F;
  spec->nonce_set = true;
  switch (which) {
    case 1:
      spec->encryption_type = 0;
      break;
    case 2:
    case 4:
    case 5:
      spec->encryption_type = 1;
      if (which == 4) break;  // keyed type without its key: the parser must not decrypt
      spec->has_key = true;
      spec->key.type = 1;
      spec->key.key_a_denomination = kKeyDenomination;
      spec->key.key_a_serial = kKeyASerial;
      spec->key.key_a_secret = number(server, kKeyASerial);
      if (which == 5) {
        spec->command_group = 6;
        spec->command = 76;
      }
      break;
    case 3:
      spec->encryption_type = 8;
      spec->has_key = true;
      spec->key.type = 8;
      spec->key.dual = true;
      spec->key.key_a_denomination = kKeyDenomination;
      spec->key.key_a_serial = kKeyASerial;
      spec->key.key_a_secret = number(server, kKeyASerial);
      spec->key.key_b_denomination = kKeyDenomination;
      spec->key.key_b_serial = kKeyBSerial;
      spec->key.key_b_secret = number(server, kKeyBSerial);
      break;
    default:
      break;
  }
}

}  // namespace fuzzfix

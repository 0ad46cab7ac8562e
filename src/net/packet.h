// One request packet and its response: how a caller describes a command (`PacketSpec`), the key
// it is encrypted with (`KeyMaterial`), building the framed and encrypted request bytes, and
// parsing and checking the response (`ParsedResponse`). The byte layouts are the constants of
// net/kovra_protocol.h. A spec is built, sent and kept until its response is parsed: the check
// needs its challenge and nonce, which are made at the first build and reused by every rebuild.
// Functions touch only the objects passed in; a spec is owned by one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/result_code.h"
#include "base/secret.h"

struct KeyMaterial {
  uint32_t type = 0;                 // the encryption type the key is meant for
  int8_t key_a_denomination = 0;
  uint32_t key_a_serial = 0;
  Secret key_a_secret;               // 16 bytes (type 1: the key coin's number; type 2: the locker key)
  int8_t key_b_denomination = 0;     // type 8: the second key coin
  uint32_t key_b_serial = 0;
  Secret key_b_secret;               // 16 bytes, type 8
  bool dual = false;                 // must be set for type 8
  uint8_t mail_key_id[5] = {0, 0, 0, 0, 0};  // type 9
  Secret mail_key;                   // 32 bytes, type 9
  bool mail_key_present = false;     // must be set for type 9
};

struct PacketSpec {
  uint8_t server_id = 0;
  uint8_t split_id = 0;
  uint8_t shard_id = 3;
  uint8_t command_group = 0;
  uint8_t command = 0;
  uint8_t header_version = 1;        // 1, or 2 for the content framing of groups 6 and 16
  uint8_t content_subversion = 0;    // v2: 0 means 1 for type 9 and 2 otherwise
  uint16_t content_word = 0;         // v2: header bytes 14-15
  uint64_t content_value = 0;        // v2: header bytes 39-46
  bool plaintext_allowed = false;    // v2: permits type 0
  uint32_t encryption_type = 0;      // 0, 1, 2, 8 or 9
  bool has_key = false;
  KeyMaterial key;
  uint8_t challenge[16] = {0};       // made at the first build unless `challenge_set`
  bool challenge_set = false;
  uint8_t nonce[12] = {0};           // made at the first build
  bool nonce_set = false;
  Secret payload;                    // the command's request data (may hold authenticity numbers)
};

struct ParsedResponse {
  uint8_t server_id = 0;             // header byte 0
  uint8_t byte1 = 0;
  uint8_t status = 0;                // a `KovraStatus`
  uint8_t byte3 = 0;
  uint16_t word4 = 0;
  uint16_t word6 = 0;
  uint32_t dword12 = 0;              // absent with mail-content framing
  uint64_t body_length = 0;          // as the header announced
  uint8_t echo[16] = {0};            // challenge echo or GCM tag
  Secret body;                       // decrypted body, terminator dropped where it is checked
  bool challenge_ok = false;         // the server proved it holds the key, or the tag matched
  bool plain_error = false;          // an unencrypted refusal of an encrypted request
};

// A spec with the defaults (shard 3, header version 1, type 0, no key, empty payload).
void packet_spec_init(PacketSpec* spec);
// Copies `length` bytes into the payload (replacing, and wiping, the old one).
void packet_spec_set_payload(PacketSpec* spec, const uint8_t* bytes, size_t length);
// Takes the buffer as the payload; an empty buffer just clears it.
void packet_spec_take_payload(PacketSpec* spec, Secret&& buffer);
// Wipes the payload and key and resets the packet description.
void packet_spec_free(PacketSpec* spec);

// Builds the request bytes into `out`. RC_INVALID_PARAM for bad input or limits (keyed types with
// a payload but no key, type 9 in header version 1, bodies over the header's limit, the version 2
// rules), RC_MEMORY, RC_ENCRYPTION (random source or cipher failure). `out` is empty on failure.
ResultCode packet_build(PacketSpec* spec, Secret* out);
// Parses a response. `spec` may be null (no decryption and no challenge check). RC_ERROR for a
// malformed packet (including a body that is not the length its header announced), RC_INVALID_PARAM when the key needed is missing, RC_ENCRYPTION when the body
// cannot be decrypted or the tag does not match. On failure `parsed->body` is empty.
ResultCode response_parse(const uint8_t* bytes, size_t length, const PacketSpec* spec, ParsedResponse* parsed);
// 64 for types 8 and 9, else 32.
size_t request_header_length(uint32_t encryption_type);
// Whether a parsed response may be judged as the server's answer: a keyed response (types 1 and 2
// with a key, 8, 9) must have passed its challenge or tag check or be a plain error, a type 0
// response must echo the challenge. A false here is "no valid answer": neither a pass nor a fail.
bool response_is_proven(const PacketSpec& spec, const ParsedResponse& parsed);

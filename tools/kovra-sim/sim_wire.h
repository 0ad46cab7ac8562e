// The simulated servers' reading of the wire: request headers (version 1, 32 bytes, or 64 bytes for
// the dual-key type) and the response header and body they send back. Written from the packet
// layout tables on its own, never from the client's builder or parser, so that the two sides
// check each other. The offsets are spelled out here for the same reason. Pure functions: safe
// from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Request header offsets (version 1).
constexpr size_t kReqCloudId = 0;
constexpr size_t kReqSplitId = 1;
constexpr size_t kReqServerId = 2;
constexpr size_t kReqShardId = 3;
constexpr size_t kReqGroup = 4;
constexpr size_t kReqCommand = 5;
constexpr size_t kReqCoinId = 6;         // 2 bytes, always 6
constexpr size_t kReqEncType = 16;
constexpr size_t kReqKeyADenom = 17;
constexpr size_t kReqKeyASerial = 18;    // 4 bytes
constexpr size_t kReqBodyLength = 22;    // 2 bytes: challenge + payload + terminator
constexpr size_t kReqNonce = 24;         // 8 bytes for types 0, 1 and 2
constexpr size_t kReqKeyBDenom = 24;     // type 8
constexpr size_t kReqKeyBSerial = 25;    // type 8, 4 bytes
constexpr size_t kReqNonce12 = 29;       // type 8, 12 bytes
constexpr size_t kReqAadLength = 48;     // type 8: header bytes 0-47 are authenticated
constexpr size_t kReqTag = 48;           // type 8, 16 bytes
constexpr size_t kShortHeader = 32;
constexpr size_t kLongHeader = 64;
constexpr size_t kChallengeBytes = 16;
constexpr uint16_t kCoinId = 6;

// Response header offsets.
constexpr size_t kRespServerId = 0;
constexpr size_t kRespSplitEcho = 1;
constexpr size_t kRespStatus = 2;
constexpr size_t kRespShardEcho = 3;
constexpr size_t kRespBodyLength = 9;    // 3 bytes
constexpr size_t kRespEcho = 16;         // 16 bytes: challenge echo or GCM tag
constexpr size_t kRespAadLength = 16;    // type 8: response header bytes 0-15 are authenticated

// Encryption types served today.
constexpr uint8_t kEncNone = 0;
constexpr uint8_t kEncCoinKey = 1;
constexpr uint8_t kEncDualKey = 8;

// Status values the servers send (the client's table gives their texts).
constexpr uint8_t kStNoError = 0;
constexpr uint8_t kStInvalidCloud = 1;
constexpr uint8_t kStInvalidCoinId = 7;
constexpr uint8_t kStInvalidLength = 16;
constexpr uint8_t kStWrongServer = 18;
constexpr uint8_t kStKeyCoinNotFound = 25;
constexpr uint8_t kStInvalidEncType = 27;
constexpr uint8_t kStUnsupportedHeader = 28;
constexpr uint8_t kStMissingTerminator = 33;
constexpr uint8_t kStKeyNotValidated = 34;
constexpr uint8_t kStInvalidCrc = 37;
constexpr uint8_t kStNotImplemented = 89;
constexpr uint8_t kStSuccess = 250;
constexpr uint8_t kStTcpRequired = 218;

// A request as it arrived: header fields and the body still as sent (encrypted for types 1 and
// 8), without its terminator.
struct SimRequest {
  uint8_t header[kLongHeader] = {};
  size_t header_length = 0;
  uint8_t cloud_id = 0, split_id = 0, server_id = 0, shard_id = 0, group = 0, command = 0;
  uint16_t coin_id = 0;
  uint8_t enc_type = 0;
  int8_t key_a_denomination = 0;
  uint32_t key_a_serial = 0;
  int8_t key_b_denomination = 0;
  uint32_t key_b_serial = 0;
  uint16_t body_length = 0;
  std::vector<uint8_t> body;  // challenge + payload
};

// How many header bytes a request needs, judged from its first 32 bytes: 64 for the dual-key
// type and for header version 2, else 32. The stream reader uses it before the rest arrives.
size_t sim_request_header_length(const uint8_t* first32);
// True for the mail-content commands (group 6, commands 76-84), which frame their length apart.
bool sim_is_mail_content(const uint8_t* header);
// The whole request length announced by a complete header (header + body length).
size_t sim_request_total_length(const uint8_t* header, size_t header_length);

// Splits a request into its fields. Returns 0 on success, otherwise the status to refuse it with
// (16 short or inconsistent length, 28 unknown header version, 1 bad cloud id, 89 mail-content
// framing not served yet, 7 bad coin id,
// 27 encryption type not served, 33 missing terminator). The fields that could be read are set
// either way, so the refusal can echo them.
uint8_t sim_parse_request(const uint8_t* bytes, size_t n, SimRequest* out);

// True when the 16 challenge bytes end in the CRC-32 of their first 12, big-endian.
bool sim_challenge_crc_ok(const uint8_t* challenge16);

// A 32-byte response header: server id, echoed split and shard ids, the status, the 24-bit body
// length and the 16 echo bytes (zero when `echo16` is null).
void sim_fill_response_header(uint8_t* header32, const SimRequest& req, uint8_t server_id, uint8_t status,
                              uint32_t body_length, const uint8_t* echo16);

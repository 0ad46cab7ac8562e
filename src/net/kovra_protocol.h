// The wire contract with the KOVRA servers as constants only: command groups and codes, request
// and response header offsets and sizes, encryption types and the status values the client acts
// on. The packet builder and parser and the simulator both read this header, so it holds no code
// and no behaviour; a change here is a change of the protocol. All multi-byte numbers on the wire
// are big-endian. Pure constants: safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kovra {

// ---- The array ----
constexpr int kServerCount = 25;
constexpr int kQuorum = 13;              // agreeing servers that make a step succeed
constexpr uint16_t kBasePort = 50000;    // server id i listens on kBasePort + i (built-in list)
constexpr uint8_t kMailServerIds[] = {0, 1, 11, 13, 14, 18, 20, 22, 24};

// ---- Command groups and codes ----
namespace group {
constexpr uint8_t kStatus = 0;       // echo, version, count
constexpr uint8_t kAuth = 1;         // detect and POWN
constexpr uint8_t kHeal = 2;         // find, tickets, fix
constexpr uint8_t kKeyRepair = 4;    // encryption repair of key coins
constexpr uint8_t kMail = 6;         // mail: tell, ping, peek, download, object transfers
constexpr uint8_t kLocker = 8;       // lockers
constexpr uint8_t kChange = 9;       // make change, serial numbers, join
constexpr uint8_t kConvert = 10;     // conversion of legacy coins
constexpr uint8_t kDirectory = 16;   // directory (DRD)
}  // namespace group

namespace cmd {
// group 0
constexpr uint8_t kEcho = 0;
constexpr uint8_t kVersion = 1;
constexpr uint8_t kCount = 3;
// group 1
constexpr uint8_t kDetect = 10;
constexpr uint8_t kDetectHash = 12;
constexpr uint8_t kPown = 20;
constexpr uint8_t kPownSum = 21;
// group 2
constexpr uint8_t kGetTicket = 40;
constexpr uint8_t kFind = 60;
constexpr uint8_t kFix2 = 61;
// group 4
constexpr uint8_t kGetEncryptTicket = 44;
constexpr uint8_t kFixEncrypted = 45;
// group 6
constexpr uint8_t kTell = 71;
constexpr uint8_t kPing = 72;
constexpr uint8_t kPeek = 73;
constexpr uint8_t kMailDownload = 74;
constexpr uint8_t kObjectBegin = 76;
constexpr uint8_t kObjectPutRange = 77;
constexpr uint8_t kObjectTransferStatus = 78;
constexpr uint8_t kObjectCommit = 79;
constexpr uint8_t kObjectAbort = 80;
constexpr uint8_t kObjectInfo = 81;
constexpr uint8_t kObjectGetRange = 82;
constexpr uint8_t kObjectCapabilities = 83;
constexpr uint8_t kObjectDelete = 84;
// The mail-content commands: group 6, codes 76..84. They use the 32-bit body framing.
constexpr uint8_t kMailContentFirst = 76;
constexpr uint8_t kMailContentLast = 84;
// group 8
constexpr uint8_t kLockerDownload = 8;
constexpr uint8_t kLockerPut = 80;
constexpr uint8_t kLockerPutSum = 82;
constexpr uint8_t kLockerPeek = 83;
// group 9
constexpr uint8_t kMakeChange = 90;
constexpr uint8_t kGetSNs = 91;
constexpr uint8_t kJoin = 93;
// group 10
constexpr uint8_t kShardSwitchNoSum = 175;
constexpr uint8_t kConvertAuthenticate = 176;
constexpr uint8_t kConvertPickup = 177;
constexpr uint8_t kConvertGetSNs = 178;
// group 16
constexpr uint8_t kDrdPostUser = 140;
constexpr uint8_t kDrdGetUser = 141;
constexpr uint8_t kDrdSearch = 142;
constexpr uint8_t kDrdDeleteUser = 143;
constexpr uint8_t kDrdListSet = 144;
constexpr uint8_t kDrdListRemove = 145;
constexpr uint8_t kDrdListGet = 146;
constexpr uint8_t kDrdChanges = 147;
constexpr uint8_t kDrdServerPost = 149;
constexpr uint8_t kDrdServerGet = 150;
}  // namespace cmd

constexpr bool is_mail_content(uint8_t command_group, uint8_t command) {
  return command_group == group::kMail && command >= cmd::kMailContentFirst && command <= cmd::kMailContentLast;
}

// ---- Encryption types (request header byte 16) ----
namespace enc {
constexpr uint8_t kNone = 0;        // 32-byte header, clear body
constexpr uint8_t kAes128Coin = 1;  // AES-128-CTR, key = key coin's authenticity number on the server
constexpr uint8_t kAes128Locker = 2;  // AES-128-CTR, key derived from a locker code
constexpr uint8_t kGcmDual = 8;     // AES-256-GCM, key = two coins' numbers, 64-byte header
constexpr uint8_t kGcmMail = 9;     // AES-256-GCM, the 32-byte mail key, header version 2 only
}  // namespace enc

// ---- Request framing ----
constexpr size_t kHeaderSize = 32;        // request header v1 for types 0, 1, 2; response header
constexpr size_t kWideHeaderSize = 64;    // request header v1 types 8, 9 and every v2 header
constexpr size_t kChallengeSize = 16;     // 12 random bytes + CRC-32 (IEEE) big-endian
constexpr size_t kChallengeRandom = 12;
constexpr size_t kTerminatorSize = 2;
constexpr uint8_t kTerminator = 0x3E;     // the body ends in ">>"
constexpr size_t kBodyOverhead = kChallengeSize + kTerminatorSize;  // body = challenge + payload + ">>"
constexpr size_t kMaxLegacyBody = 0xFFFF;             // v1 16-bit body length
constexpr uint64_t kMaxMailBody = 0xFFFFFFFFull;      // v1 mail-content 32-bit body length
constexpr uint64_t kMaxV2Payload = 4294967277ull;     // 2^32 - 1 - 18
constexpr uint8_t kCoinId = 6;
constexpr uint8_t kCloudId = 1;           // byte 0 of a v1 request; 0 for mail-content commands
constexpr uint8_t kDefaultShard = 3;
constexpr size_t kNonce8Size = 8;
constexpr size_t kNonce12Size = 12;
constexpr size_t kTagSize = 16;
constexpr uint8_t kType2NoncePrefix[5] = {0x00, 0x00, 0x00, 0x11, 0x11};  // then low 3 bytes of key A serial

// Request header version 1 offsets.
namespace req1 {
constexpr size_t kCloudId = 0;
constexpr size_t kSplitId = 1;
constexpr size_t kServerId = 2;
constexpr size_t kShardId = 3;
constexpr size_t kGroup = 4;
constexpr size_t kCommand = 5;
constexpr size_t kCoinId = 6;         // 2 bytes
constexpr size_t kByte8 = 8;          // 1; mail-content: bytes 8-9 are 00 01
constexpr size_t kMailBodyLength = 10;  // 4 bytes, mail-content only
constexpr size_t kEncType = 16;
constexpr size_t kKeyADenomination = 17;
constexpr size_t kKeyASerial = 18;    // 4 bytes
constexpr size_t kBodyLength = 22;    // 2 bytes; 0xFFFF for mail-content commands
constexpr size_t kNonce = 24;         // 8 bytes, types 0, 1, 2
constexpr size_t kKeyBDenomination = 24;  // type 8
constexpr size_t kKeyBSerial = 25;    // type 8, 4 bytes
constexpr size_t kNonce12 = 29;       // type 8, 12 bytes; 41..47 zero
constexpr size_t kAadSize = 48;       // GCM additional data: header bytes 0-47
constexpr size_t kTag = 48;           // type 8, 16 bytes
}  // namespace req1

// Request header version 2 offsets (command groups 6 and 16 only).
namespace req2 {
constexpr uint8_t kVersion = 2;
constexpr size_t kHeaderVersion = 0;
constexpr size_t kServerId = 2;
constexpr size_t kShardId = 3;
constexpr size_t kGroup = 4;
constexpr size_t kCommand = 5;
constexpr size_t kCoinId = 6;         // 2 bytes
constexpr size_t kSubVersion = 8;
constexpr size_t kBodyLength = 10;    // 4 bytes
constexpr size_t kContentWord = 14;   // 2 bytes
constexpr size_t kEncType = 16;
constexpr size_t kKeyAId = 17;        // 5 bytes
constexpr size_t kKeyBId = 22;        // 5 bytes
constexpr size_t kNonce = 27;         // 12 bytes
constexpr size_t kContentValue = 39;  // 8 bytes
constexpr size_t kAadSize = 48;
constexpr size_t kTag = 48;           // 16 bytes
}  // namespace req2

// Response header offsets (always 32 bytes).
namespace resp {
constexpr size_t kServerId = 0;
constexpr size_t kByte1 = 1;
constexpr size_t kStatus = 2;
constexpr size_t kByte3 = 3;
constexpr size_t kWord4 = 4;          // 2 bytes
constexpr size_t kWord6 = 6;          // 2 bytes
constexpr size_t kFramingVersion = 8;  // mail-content framing only, must be 1
constexpr uint8_t kMailFramingVersion = 1;
constexpr size_t kBodyLength24 = 9;   // 3 bytes
constexpr size_t kBodyLength32 = 9;   // 4 bytes with mail-content framing
constexpr size_t kDword12 = 12;       // 4 bytes (absent with mail-content framing)
constexpr size_t kEcho = 16;          // 16 bytes: challenge echo (types 0, 1, 2) or GCM tag (8, 9)
constexpr size_t kAadSize = 16;       // GCM additional data of a response: header bytes 0-15
}  // namespace resp

// A type 8/9 response nonce is the request nonce with this bit set in byte 0; request nonces of
// those types have it clear.
constexpr uint8_t kResponseNonceBit = 0x80;

// ---- Transport limits ----
constexpr uint64_t kMaxTcpResponse = 64ull * 1024 * 1024;  // 64 MiB ceiling for one response
constexpr size_t kMaxUdpDatagram = 4096;
constexpr uint32_t kKeepAliveIdleMs = 30000;
constexpr uint32_t kKeepAliveIntervalMs = 10000;

// ---- Status values (response byte 2) the client acts on; texts live in status_codes ----
namespace status {
constexpr uint8_t kNoError = 0;
constexpr uint8_t kInvalidPacketLength = 16;
constexpr uint8_t kKeyCoinNotFound = 25;
constexpr uint8_t kInvalidEncryptionType = 27;
constexpr uint8_t kUnsupportedHeaderVersion = 28;
constexpr uint8_t kInvalidEof = 33;
constexpr uint8_t kEncryptionValidationFailed = 34;
constexpr uint8_t kEmptyRequestBody = 36;
constexpr uint8_t kInvalidCrc = 37;
constexpr uint8_t kCommandNotImplemented = 89;
constexpr uint8_t kLockerEmpty = 179;
constexpr uint8_t kAllPass = 241;
constexpr uint8_t kAllFail = 242;
constexpr uint8_t kMixed = 243;
constexpr uint8_t kLoopbackOk = 244;
constexpr uint8_t kLongPollTimeout = 245;
constexpr uint8_t kSuccess = 250;
constexpr uint8_t kInternalError = 252;
}  // namespace status

// The unencrypted refusals a server may give to an encrypted (type 8/9) request.
constexpr bool is_plain_error_status(uint8_t s) {
  return s == status::kInvalidPacketLength || s == status::kKeyCoinNotFound ||
         s == status::kEncryptionValidationFailed || s == status::kInvalidCrc;
}

}  // namespace kovra

namespace kovra {
// True when a request's response uses the 32-bit mail-content framing: a header version 1 request
// (byte 0 is the cloud id, never 2) for group 6, commands 76..84. The transport and the parser
// both decide by this one rule so that they never disagree on where a body ends.
constexpr bool uses_mail_framing(const uint8_t* request, size_t length) {
  return request != nullptr && length >= kHeaderSize && request[0] != req2::kVersion &&
         is_mail_content(request[req1::kGroup], request[req1::kCommand]);
}
}  // namespace kovra

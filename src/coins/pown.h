// The per-server status of a coin (`PownCode`): a verdict (unknown, authentic, failed) combined
// with the outcome of the last attempt to reach that server, its one-letter rendering, the rules
// that update it after a server answers, and the 13-byte packed form kept in coin files. Also the
// names of grade verdicts. Pure functions: safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kServerCount = 25;
constexpr size_t kPownPackedSize = 13;
// The low nibble of the last packed byte.
constexpr uint8_t kPownPackMarker = 9;

enum PownCode : uint8_t {
  POWN_UNTRIED = 0,
  POWN_NET_ERROR = 1,
  POWN_SERVER_ERROR = 2,
  POWN_TIMEOUT = 3,
  POWN_AUTH_UNTRIED = 7,
  POWN_AUTH_NET_ERROR = 8,
  POWN_AUTH_SERVER_ERROR = 9,
  POWN_AUTH_SUCCESS = 10,
  POWN_FAIL_TIMEOUT = 12,
  POWN_FAIL_NET_ERROR = 13,
  POWN_FAIL_SERVER_ERROR = 14,
  POWN_FAIL_SUCCESS = 15,
};

enum PownGroup : int { POWN_GROUP_UNKNOWN = 0, POWN_GROUP_AUTHENTIC = 1, POWN_GROUP_FAILED = 2 };

// How the last attempt to reach a server ended.
enum AttemptOutcome : int {
  OUTCOME_UNTRIED = 0,
  OUTCOME_NET_ERROR = 1,
  OUTCOME_SERVER_ERROR = 2,  // any reply that is not a verdict
  OUTCOME_TIMEOUT = 3,
  OUTCOME_ANSWERED = 4,  // a pass or fail verdict
};

// Verdict argument of pown_compose.
enum PownVerdict : int { VERDICT_UNKNOWN = 0, VERDICT_AUTHENTIC = 1, VERDICT_FAILED = 2 };

enum GradeVerdict : int { GRADE_BANK = 1, GRADE_FRACKED = 2, GRADE_LIMBO = 3, GRADE_COUNTERFEIT = 4 };

struct PownCounts {
  int authentic = 0;
  int failed = 0;
  int unknown = 0;
};

// Unknown for 0-6, authentic for 7-11, failed for 12-15 (and unknown for anything above).
PownGroup pown_group(uint8_t code);
// The code after an attempt: an answer sets 10 (passed) or 15; otherwise the verdict group stays
// and the outcome is recorded.
uint8_t pown_update(uint8_t old_code, bool passed, int outcome);
// The code for a verdict and an outcome (verdict 1 authentic, 2 failed, anything else unknown).
uint8_t pown_compose(int verdict, int outcome);
// One letter: . n s t a N S A T X E F, '?' for reserved codes.
char pown_letter(uint8_t code);
// "Unknown/Untried", "Authentic/Success", ..., "Reserved".
const char* pown_meaning(uint8_t code);
// Counts of authentic, failed and unknown entries over the 25 servers.
PownCounts pown_counts(const uint8_t codes[kServerCount]);
// 25 letters, server 0 first; grouped puts a space after every fifth letter but the last.
std::string pown_string(const uint8_t codes[kServerCount], bool grouped);
// Two codes per byte (high nibble first); the last byte holds code 24 and the marker 9.
void pown_pack(const uint8_t codes[kServerCount], uint8_t out[kPownPackedSize]);
// The reverse; the marker nibble is not examined here (the encrypted-file reader checks it).
void pown_unpack(const uint8_t in[kPownPackedSize], uint8_t codes[kServerCount]);
// "Bank", "Fracked", "Limbo", "Counterfeit"; "Unknown" for any other value.
const char* grade_verdict_name(int verdict);

#include "coins/pown.h"

PownGroup pown_group(uint8_t code) {
  if (code >= 7 && code <= 11) return POWN_GROUP_AUTHENTIC;
  if (code >= 12 && code <= 15) return POWN_GROUP_FAILED;
  return POWN_GROUP_UNKNOWN;
}

uint8_t pown_update(uint8_t old_code, bool passed, int outcome) {
  if (outcome == OUTCOME_ANSWERED) return passed ? POWN_AUTH_SUCCESS : POWN_FAIL_SUCCESS;
  switch (pown_group(old_code)) {
    case POWN_GROUP_FAILED:
      if (outcome == OUTCOME_NET_ERROR) return POWN_FAIL_NET_ERROR;
      if (outcome == OUTCOME_TIMEOUT) return POWN_FAIL_TIMEOUT;
      return POWN_FAIL_SERVER_ERROR;
    case POWN_GROUP_AUTHENTIC:
      if (outcome == OUTCOME_NET_ERROR || outcome == OUTCOME_TIMEOUT) return POWN_AUTH_NET_ERROR;
      return POWN_AUTH_SERVER_ERROR;
    default:
      if (outcome == OUTCOME_NET_ERROR) return POWN_NET_ERROR;
      if (outcome == OUTCOME_TIMEOUT) return POWN_TIMEOUT;
      return POWN_SERVER_ERROR;
  }
}

uint8_t pown_compose(int verdict, int outcome) {
  static const uint8_t kAuthentic[5] = {7, 8, 9, 8, 10};
  static const uint8_t kFailed[5] = {12, 13, 14, 12, 15};
  static const uint8_t kUnknown[5] = {0, 1, 2, 3, 0};
  const uint8_t* row = verdict == VERDICT_AUTHENTIC ? kAuthentic : verdict == VERDICT_FAILED ? kFailed : kUnknown;
  return outcome >= 0 && outcome <= 4 ? row[outcome] : row[0];
}

char pown_letter(uint8_t code) {
  static const char kLetters[] = ".nst???aNSA?TXEF";
  return code < 16 ? kLetters[code] : '?';
}

const char* pown_meaning(uint8_t code) {
  static const char* const kMeanings[16] = {
      "Unknown/Untried",      "Unknown/NetError",       "Unknown/ServerError", "Unknown/Timeout",
      "Reserved",             "Reserved",               "Reserved",            "Authentic/Untried",
      "Authentic/NetError",   "Authentic/ServerError",  "Authentic/Success",   "Reserved",
      "Failed/Timeout",       "Failed/NetError",        "Failed/ServerError",  "Failed/Success",
  };
  return code < 16 ? kMeanings[code] : "Reserved";
}

PownCounts pown_counts(const uint8_t codes[kServerCount]) {
  PownCounts c;
  for (int i = 0; i < kServerCount; ++i) {
    switch (pown_group(codes[i])) {
      case POWN_GROUP_AUTHENTIC: ++c.authentic; break;
      case POWN_GROUP_FAILED: ++c.failed; break;
      default: ++c.unknown; break;
    }
  }
  return c;
}

std::string pown_string(const uint8_t codes[kServerCount], bool grouped) {
  std::string s;
  s.reserve(30);
  for (int i = 0; i < kServerCount; ++i) {
    s += pown_letter(codes[i]);
    if (grouped && i % 5 == 4 && i != kServerCount - 1) s += ' ';
  }
  return s;
}

void pown_pack(const uint8_t codes[kServerCount], uint8_t out[kPownPackedSize]) {
  for (int k = 0; k < 12; ++k) out[k] = static_cast<uint8_t>(((codes[2 * k] & 0x0F) << 4) | (codes[2 * k + 1] & 0x0F));
  out[12] = static_cast<uint8_t>(((codes[24] & 0x0F) << 4) | kPownPackMarker);
}

void pown_unpack(const uint8_t in[kPownPackedSize], uint8_t codes[kServerCount]) {
  for (int k = 0; k < 12; ++k) {
    codes[2 * k] = in[k] >> 4;
    codes[2 * k + 1] = in[k] & 0x0F;
  }
  codes[24] = in[12] >> 4;
}

const char* grade_verdict_name(int verdict) {
  switch (verdict) {
    case GRADE_BANK: return "Bank";
    case GRADE_FRACKED: return "Fracked";
    case GRADE_LIMBO: return "Limbo";
    case GRADE_COUNTERFEIT: return "Counterfeit";
    default: return "Unknown";
  }
}

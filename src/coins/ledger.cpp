#include "coins/ledger.h"

#include <errno.h>
#include <sys/stat.h>

#include <climits>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include "base/amount.h"
#include "base/test_seams.h"
#include "coins/wallet.h"
#include "coins/wallet_scan.h"
#include "http/json_writer.h"
#include "http/task_registry.h"
#include "runtime/durable_write.h"
#include "runtime/log.h"

namespace {
// Guards the read-modify-write of every wallet's transactions.csv and the readers' single pass.
// One lock for all wallets; it is taken inside wallet locks and never around any other lock.
std::mutex g_ledger_mutex;

std::string ledger_path(const std::string& wallet) { return wallet + "/" + kLedgerFileName; }

// A text field for the file: control characters (a line feed would split the row) become
// blanks, the text is cut on a character boundary and quotes are doubled inside the quotes.
std::string quoted(const std::string& text, size_t max_bytes) {
  std::string clean = utf8_safe_copy(text, max_bytes + 1);
  std::string out = "\"";
  for (char c : clean) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// Reads the whole file in one pass. RC_OK with *present false when it does not exist.
ResultCode read_whole(const std::string& path, std::string* text, bool* present) {
  *present = false;
  text->clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return RC_OK;
    return RC_FILE;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return RC_FILE;
  *text = ss.str();
  *present = true;
  return RC_OK;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool contains(std::string_view s, const char* part) { return s.find(part) != std::string_view::npos; }

// The next field of a row: blanks before it skipped, a quoted field ends at its closing quote
// (a doubled quote is one quote), an unquoted one at a comma; one comma after it is consumed.
std::string next_field(std::string_view line, size_t* pos) {
  size_t i = *pos;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  std::string out;
  if (i < line.size() && line[i] == '"') {
    ++i;
    while (i < line.size()) {
      if (line[i] == '"') {
        if (i + 1 < line.size() && line[i + 1] == '"') {
          out += '"';
          i += 2;
          continue;
        }
        ++i;
        break;
      }
      out += line[i++];
    }
    while (i < line.size() && line[i] != ',') ++i;
  } else {
    while (i < line.size() && line[i] != ',') out += line[i++];
  }
  if (i < line.size() && line[i] == ',') ++i;
  *pos = i;
  return out;
}

std::string fresh_task_id() { return task_new_id(); }
}  // namespace

const char* ledger_symbol(std::string_view r) {
  static const char kWarn[] = "\xE2\x9A\xA0\xEF\xB8\x8F";    // U+26A0 U+FE0F
  static const char kConvert[] = "\xE2\x87\x84";             // U+21C4
  static const char kDown[] = "\xF0\x9F\xA1\x87";            // U+1F847
  static const char kUp[] = "\xF0\x9F\xA1\x85";              // U+1F845
  static const char kIn[] = "\xF0\x9F\xA1\x86";              // U+1F846
  static const char kOut[] = "\xF0\x9F\xA1\x84";             // U+1F844
  if (r.empty()) return kWarn;
  if (contains(r, "Convert")) return kConvert;
  if (contains(r, "Download") || contains(r, "From Locker")) return kDown;
  if (contains(r, "Upload") || contains(r, "To Locker")) return kUp;
  if (contains(r, "Deposit") || contains(r, "Import")) return kIn;
  if (contains(r, "Upgrade") || contains(r, "Transfer In") || contains(r, "Join")) return kIn;
  if (contains(r, "Withdraw") || contains(r, "Export") || contains(r, "Transfer Out")) return kOut;
  return kWarn;
}

std::string ledger_format_row(const LedgerEntry& e, const std::string& date_time, uint64_t balance_units) {
  std::string remarks = utf8_safe_copy(e.remarks, kLedgerRemarksMax + 1);
  std::string row = ledger_symbol(remarks);
  row += ",";
  row += quoted(e.task_id, kLedgerTaskIdMax) + ",";
  row += quoted(date_time, kLedgerDateMax) + ",";
  row += quoted(remarks, kLedgerRemarksMax) + ",";
  if (e.amount_units > 0) {
    row += format_units(static_cast<uint64_t>(e.amount_units)) + ",,";
  } else if (e.amount_units < 0) {
    // The magnitude of INT64_MIN does not fit int64_t; unsigned negation is exact.
    row += "," + format_units(0 - static_cast<uint64_t>(e.amount_units)) + ",";
  } else {
    row += ",,";
  }
  row += quoted(e.description, kLedgerDescriptionMax) + ",";
  row += "\"" + format_units(balance_units) + "\"\n";
  return row;
}

int64_t ledger_parse_units(std::string_view f) {
  bool negative = false, seen_sign = false, seen_digit = false, seen_point = false;
  std::string digits;  // significant digits of the mantissa
  int frac_digits = 0;
  size_t i = 0;
  for (; i < f.size(); ++i) {
    char c = f[i];
    if ((c == '-' || c == '+') && !seen_sign && !seen_digit && !seen_point) {
      seen_sign = true;
      negative = c == '-';
    } else if (c >= '0' && c <= '9') {
      seen_digit = true;
      if (digits.empty() && c == '0' && !seen_point) continue;
      digits += c;
      if (seen_point) ++frac_digits;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else if ((c == 'e' || c == 'E') && seen_digit) {
      break;
    }
  }
  long exponent = 0;
  if (i < f.size()) {
    std::string_view rest = f.substr(i + 1);
    bool eneg = false;
    size_t j = 0;
    if (j < rest.size() && (rest[j] == '-' || rest[j] == '+')) eneg = rest[j++] == '-';
    for (; j < rest.size() && rest[j] >= '0' && rest[j] <= '9'; ++j)
      if (exponent < 1000) exponent = exponent * 10 + (rest[j] - '0');
    if (eneg) exponent = -exponent;
  }
  // units = digits x 10^(8 + exponent - frac_digits), truncated toward zero.
  long shift = kFractionDigits + exponent - frac_digits;
  if (shift < 0) {
    long drop = -shift;
    if (drop >= static_cast<long>(digits.size())) return 0;
    digits.resize(digits.size() - static_cast<size_t>(drop));
    shift = 0;
  }
  unsigned __int128 v = 0;
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
  for (char c : digits) {
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > limit) return negative ? INT64_MIN : INT64_MAX;
  }
  for (long k = 0; k < shift && v != 0; ++k) {
    v *= 10;
    if (v > limit) return negative ? INT64_MIN : INT64_MAX;
  }
  if (negative) return v == limit ? INT64_MIN : -static_cast<int64_t>(v);
  return static_cast<int64_t>(v);
}

bool ledger_parse_row(std::string_view line, LedgerRow* out) {
  if (line.empty() || line[0] == '\r' || line[0] == '\n') return false;
  LedgerRow row;
  size_t pos = 0;
  next_field(line, &pos);  // symbol
  row.task_id = utf8_safe_copy(next_field(line, &pos), kLedgerTaskIdMax + 1);
  row.date_time = utf8_safe_copy(next_field(line, &pos), kLedgerDateMax + 1);
  row.remarks = utf8_safe_copy(next_field(line, &pos), kLedgerRemarksMax + 1);
  int64_t deposit = ledger_parse_units(next_field(line, &pos));
  int64_t withdraw = ledger_parse_units(next_field(line, &pos));
  row.description = utf8_safe_copy(next_field(line, &pos), kLedgerDescriptionMax + 1);
  row.balance_units = ledger_parse_units(next_field(line, &pos));
  row.amount_units = static_cast<int64_t>(static_cast<uint64_t>(deposit) - static_cast<uint64_t>(withdraw));
  if (out) *out = std::move(row);
  return true;
}

std::string ledger_date_now() {
  time_t now = std::time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  char buf[64];
  std::strftime(buf, sizeof buf, "%m/%d/%Y, %I:%M %p", &tmv);
  return buf;
}

ResultCode ledger_append(const std::string& wallet, const LedgerEntry& entry, std::string* task_id_out) {
  if (wallet.empty()) return RC_INVALID_PARAM;
  // Taken before the lock: it reflects the coins the caller has already moved.
  uint64_t balance = wallet_bank_value(wallet);
  return ledger_append_with_balance(wallet, entry, balance, task_id_out);
}

ResultCode ledger_append_with_balance(const std::string& wallet, const LedgerEntry& entry, uint64_t balance_units,
                                      std::string* task_id_out) {
  if (wallet.empty()) return RC_INVALID_PARAM;
  LedgerEntry e = entry;
  if (e.task_id.empty()) e.task_id = fresh_task_id();
  e.task_id = utf8_safe_copy(e.task_id, kLedgerTaskIdMax + 1);
  std::string row = ledger_format_row(e, ledger_date_now(), balance_units);
  std::string path = ledger_path(wallet);
  {
    std::lock_guard<std::mutex> g(g_ledger_mutex);
    std::string old;
    bool present = false;
    ResultCode rc = read_whole(path, &old, &present);
    if (rc != RC_OK) {
      log_error(CAT_GEN, "ledger_append: cannot read %s", path.c_str());
      return RC_FILE;
    }
    std::string text;
    text.reserve(old.size() + row.size() + sizeof kLedgerHeader + 1);
    size_t first_end = old.find('\n');
    if (old.empty()) {
      text = std::string(kLedgerHeader) + "\n" + row;
    } else if (first_end == std::string::npos) {
      text = old + "\n" + row;
    } else {
      text.append(old, 0, first_end + 1);
      text += row;
      text.append(old, first_end + 1, std::string::npos);
    }
    test_crash_point("ledger_append:before_write");
    rc = durable_write(path, text);
    if (rc != RC_OK) {
      log_error(CAT_GEN, "ledger_append: cannot write %s", path.c_str());
      return RC_FILE;
    }
    test_crash_point("ledger_append:after_write");
  }
  log_info(CAT_GEN, "Transaction logged: %s %s (%s)", e.remarks.c_str(), format_amount(e.amount_units).c_str(),
           e.task_id.c_str());
  if (task_id_out) *task_id_out = e.task_id;
  return RC_OK;
}

ResultCode ledger_read_lines(const std::string& wallet, std::vector<std::string>* lines, bool* present) {
  if (wallet.empty() || !lines || !present) return RC_INVALID_PARAM;
  lines->clear();
  std::string text;
  {
    std::lock_guard<std::mutex> g(g_ledger_mutex);
    ResultCode rc = read_whole(ledger_path(wallet), &text, present);
    if (rc != RC_OK) return rc;
  }
  for (std::string_view l : split_lines(text)) lines->emplace_back(l);
  return RC_OK;
}

ResultCode ledger_read(const std::string& wallet, LedgerContents* out) {
  if (wallet.empty() || !out) return RC_INVALID_PARAM;
  *out = LedgerContents();
  std::string text;
  {
    std::lock_guard<std::mutex> g(g_ledger_mutex);
    ResultCode rc = read_whole(ledger_path(wallet), &text, &out->present);
    if (rc != RC_OK) return rc;
  }
  std::vector<std::string_view> lines = split_lines(text);
  for (size_t i = 1; i < lines.size(); ++i) {
    LedgerRow row;
    if (ledger_parse_row(lines[i], &row)) out->rows.push_back(std::move(row));
  }
  if (!out->rows.empty()) out->balance_units = out->rows.front().balance_units;
  return RC_OK;
}

ResultCode ledger_read_balance(const std::string& wallet, int64_t* balance_units) {
  if (wallet.empty() || !balance_units) return RC_INVALID_PARAM;
  *balance_units = 0;
  std::string text;
  bool present = false;
  {
    std::lock_guard<std::mutex> g(g_ledger_mutex);
    ResultCode rc = read_whole(ledger_path(wallet), &text, &present);
    if (rc != RC_OK) return rc;
  }
  std::vector<std::string_view> lines = split_lines(text);
  for (size_t i = 1; i < lines.size(); ++i) {
    LedgerRow row;
    if (ledger_parse_row(lines[i], &row)) {
      *balance_units = row.balance_units;
      break;
    }
  }
  return RC_OK;
}

// The ledger: row layout and order, exact amount texts, quoting of text fields, the symbol
// table, the reader's numbers, a 100,000-row ledger, and a kill during an append.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "coins/ledger.h"
#include "coins/wallet.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {
LedgerEntry entry(int64_t units, const std::string& remarks, const std::string& desc = "d",
                  const std::string& task = "T1") {
  LedgerEntry e;
  e.amount_units = units;
  e.remarks = remarks;
  e.description = desc;
  e.task_id = task;
  return e;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}
}  // namespace

TEST(Ledger, AppendToMissingFileCreatesHeaderAndNewestRowsGoFirst) {
  TempDir tmp;
  std::string w = tmp.path();
  ASSERT_EQ(ledger_append_with_balance(w, entry(100000000, "Deposit", "first", "A"), 100000000), RC_OK);
  ASSERT_EQ(ledger_append_with_balance(w, entry(250000000, "Deposit", "second", "B"), 350000000), RC_OK);
  std::string tid;
  ASSERT_EQ(ledger_append_with_balance(w, entry(-50000000, "Withdraw", "third", "C"), 300000000, &tid), RC_OK);
  EXPECT_EQ(tid, "C");
  std::vector<std::string> lines = lines_of(testsupport::read_file(w + "/transactions.csv"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kLedgerHeader);
  EXPECT_NE(lines[1].find("\"third\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"second\""), std::string::npos);
  EXPECT_NE(lines[3].find("\"first\""), std::string::npos);

  LedgerContents c;
  ASSERT_EQ(ledger_read(w, &c), RC_OK);
  EXPECT_TRUE(c.present);
  ASSERT_EQ(c.rows.size(), 3u);
  EXPECT_EQ(c.balance_units, 300000000);
  EXPECT_EQ(c.rows[0].amount_units, -50000000);
  EXPECT_EQ(c.rows[0].task_id, "C");
  EXPECT_EQ(c.rows[2].amount_units, 100000000);
}

TEST(Ledger, AmountsAreExactDecimalTextsInTheirColumns) {
  struct Case {
    int64_t units;
    uint64_t balance;
    const char* amounts;  // Deposit,Withdraw as written
    const char* balance_text;
  } cases[] = {
      {1250000000, 1250000000, "12.5,,", "\"12.5\""},
      {-300000000, 0, ",3,", "\"0\""},
      {29000000, 29000000, "0.29,,", "\"0.29\""},  // never 0.28999999
      {1, 1, "0.00000001,,", "\"0.00000001\""},     // never 1e-08
      {0, 0, ",,", "\"0\""},
      {1234567812345678, 1234567812345678, "12345678.12345678,,", "\"12345678.12345678\""},
  };
  for (const Case& c : cases) {
    std::string row = ledger_format_row(entry(c.units, "Deposit"), "03/14/2026, 09:05 PM", c.balance);
    EXPECT_NE(row.find(std::string("\"Deposit\",") + c.amounts + "\"d\"," + c.balance_text + "\n"),
              std::string::npos)
        << row;
    LedgerRow parsed;
    ASSERT_TRUE(ledger_parse_row(row.substr(0, row.size() - 1), &parsed));
    EXPECT_EQ(parsed.amount_units, c.units);
    EXPECT_EQ(parsed.balance_units, static_cast<int64_t>(c.balance));
    EXPECT_EQ(parsed.date_time, "03/14/2026, 09:05 PM");
  }
}

TEST(Ledger, TextFieldsWithQuotesCommasAndLineBreaksRoundTrip) {
  TempDir tmp;
  LedgerEntry e = entry(5, "To Locker, \"fast\"", "Paid \"Bob\", 2 coins\nthanks", "T-9");
  ASSERT_EQ(ledger_append_with_balance(tmp.path(), e, 7), RC_OK);
  std::vector<std::string> lines = lines_of(testsupport::read_file(tmp.path() + "/transactions.csv"));
  ASSERT_EQ(lines.size(), 2u);  // the line break did not split the row
  LedgerContents c;
  ASSERT_EQ(ledger_read(tmp.path(), &c), RC_OK);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].remarks, "To Locker, \"fast\"");
  EXPECT_EQ(c.rows[0].description, "Paid \"Bob\", 2 coins thanks");
  EXPECT_EQ(c.rows[0].amount_units, 5);
  EXPECT_EQ(c.rows[0].balance_units, 7);
  EXPECT_EQ(c.rows[0].task_id, "T-9");
}

TEST(Ledger, SymbolFollowsTheRemarks) {
  struct Case {
    const char* remarks;
    const char* symbol;
  } cases[] = {
      {"", "\xE2\x9A\xA0\xEF\xB8\x8F"},         {"Convert ZBv1", "\xE2\x87\x84"},
      {"From Locker", "\xF0\x9F\xA1\x87"},      {"To Locker", "\xF0\x9F\xA1\x85"},
      {"Deposit", "\xF0\x9F\xA1\x86"},          {"Upgrade-ZBv2", "\xF0\x9F\xA1\x86"},
      {"Sent Transfer Out now", "\xF0\x9F\xA1\x84"}, {"Export", "\xF0\x9F\xA1\x84"},
      {"deposit", "\xE2\x9A\xA0\xEF\xB8\x8F"},  // the test is case-sensitive
  };
  for (const Case& c : cases) EXPECT_STREQ(ledger_symbol(c.remarks), c.symbol) << c.remarks;
}

TEST(Ledger, ReaderNumbersIncludingOlderExponentTexts) {
  struct Case {
    const char* text;
    int64_t units;
  } cases[] = {
      {"1234.5", 123450000000}, {"-0.00000001", -1}, {"1e-05", 1000},   {"2.5E+3", 250000000000},
      {"12.123456789", 1212345678}, {"", 0},         {"  7", 700000000}, {"1,000", 100000000000},
      {"99999999999999999999", INT64_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(ledger_parse_units(c.text), c.units) << c.text;
}

TEST(Ledger, HundredThousandRowLedgerAppendsAndReadsBackWhole) {
  TempDir tmp;
  std::string text = std::string(kLedgerHeader) + "\n";
  const int kRows = 100000;
  for (int i = kRows; i >= 1; --i)
    text += ledger_format_row(entry(i, "Deposit", "row " + std::to_string(i), "T" + std::to_string(i)),
                              "01/02/2026, 10:00 AM", static_cast<uint64_t>(i) * 3);
  ASSERT_TRUE(testsupport::write_file(tmp.path() + "/transactions.csv", text));
  ASSERT_EQ(ledger_append_with_balance(tmp.path(), entry(-7, "Withdraw", "newest", "N"), 42), RC_OK);

  LedgerContents c;
  ASSERT_EQ(ledger_read(tmp.path(), &c), RC_OK);
  ASSERT_EQ(c.rows.size(), static_cast<size_t>(kRows + 1));
  EXPECT_EQ(c.balance_units, 42);
  EXPECT_EQ(c.rows[0].description, "newest");
  int64_t newest = 0;
  ASSERT_EQ(ledger_read_balance(tmp.path(), &newest), RC_OK);
  EXPECT_EQ(newest, 42);
  for (int i = 1; i <= kRows; ++i) {
    const LedgerRow& r = c.rows[static_cast<size_t>(kRows - i + 1)];
    ASSERT_EQ(r.amount_units, i);
    ASSERT_EQ(r.balance_units, static_cast<int64_t>(i) * 3);
  }
  std::string after = testsupport::read_file(tmp.path() + "/transactions.csv");
  EXPECT_EQ(after.size(), text.size() + ledger_format_row(entry(-7, "Withdraw", "newest", "N"), c.rows[0].date_time, 42).size());
}

TEST(LedgerCrash, KillDuringAppendLeavesTheOldOrTheNewLedgerNeverAMix) {
  // Forked at the statement, so the child appends to this very folder.
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir tmp;
  std::string w = tmp.path();
  ASSERT_EQ(ledger_append_with_balance(w, entry(100, "Deposit", "old", "A"), 100), RC_OK);
  std::string old = testsupport::read_file(w + "/transactions.csv");
  for (const char* point : {"ledger_append:before_write", "durable_write:before_rename"}) {
    ::setenv("RESTCORE_TEST_CRASH_AT", point, 1);
    EXPECT_EXIT(ledger_append_with_balance(w, entry(5, "Deposit", "lost", "B"), 105), testing::ExitedWithCode(86), "")
        << point;
    ::unsetenv("RESTCORE_TEST_CRASH_AT");
    EXPECT_EQ(testsupport::read_file(w + "/transactions.csv"), old) << point;
  }
  // A kill right after the write leaves the whole new ledger.
  ::setenv("RESTCORE_TEST_CRASH_AT", "ledger_append:after_write", 1);
  EXPECT_EXIT(ledger_append_with_balance(w, entry(5, "Deposit", "new", "C"), 105), testing::ExitedWithCode(86), "");
  ::unsetenv("RESTCORE_TEST_CRASH_AT");
  LedgerContents c;
  ASSERT_EQ(ledger_read(w, &c), RC_OK);
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rows[0].description, "new");
  EXPECT_EQ(c.rows[0].balance_units, 105);
  EXPECT_EQ(c.rows[1].description, "old");
  std::string now = testsupport::read_file(w + "/transactions.csv");
  EXPECT_EQ(now.substr(now.size() - (old.size() - sizeof(kLedgerHeader))), old.substr(sizeof(kLedgerHeader)));
}

TEST(Ledger, RowWithoutTaskIdGetsAFreshIdentifier) {
  TempDir tmp;
  std::string tid;
  ASSERT_EQ(ledger_append_with_balance(tmp.path(), entry(1, "Deposit", "d", ""), 1, &tid), RC_OK);
  EXPECT_GE(tid.size(), 20u);  // e.g. Dec-09-25_10-34-07-am-3fa2
  EXPECT_EQ(tid[3], '-');
  LedgerContents c;
  ASSERT_EQ(ledger_read(tmp.path(), &c), RC_OK);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].task_id, tid);
}

TEST(Ledger, MissingFileReadsAsNoRows) {
  TempDir tmp;
  LedgerContents c;
  ASSERT_EQ(ledger_read(tmp.path(), &c), RC_OK);
  EXPECT_FALSE(c.present);
  EXPECT_TRUE(c.rows.empty());
  std::vector<std::string> lines;
  bool present = true;
  ASSERT_EQ(ledger_read_lines(tmp.path(), &lines, &present), RC_OK);
  EXPECT_FALSE(present);
}

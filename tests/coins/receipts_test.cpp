// Receipts and the wallet life-cycle operations behind the endpoints: the companion file's
// order and content, the cases without details, the refusal without an installed writer, the
// JSON check that guards embedded receipts, and the wallet lock seen from rename and delete.
#include <gtest/gtest.h>

#include <thread>

#include "coins/coin_file.h"
#include "coins/receipts.h"
#include "coins/wallet.h"
#include "coins/wallet_lock.h"
#include "coins/wallet_registry.h"
#include "coins/wallet_scan.h"
#include "runtime/data_root.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {
Coin make_coin(uint32_t sn, int8_t denom) {
  Coin c;
  c.serial_number = sn;
  c.denomination = denom;
  for (size_t s = 0; s < kServerCount; ++s) {
    c.an[s][0] = static_cast<uint8_t>(sn);
    c.an[s][1] = static_cast<uint8_t>(s);
    c.pown_status[s] = 10;
  }
  return c;
}

void store(const std::string& folder, const Coin& c, const std::string& tag) {
  std::string path;
  ASSERT_EQ(coin_file_store(folder, &c, 1, tag, &path), RC_OK);
}
}  // namespace

TEST(Receipts, DepositCompanionListsTheTaskCoinsSortedAndThePrimaryPointsToIt) {
  TempDir tmp;
  std::string w = tmp.sub("W");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  const std::string task = "Dec-09-25_10-34-07-am-3fa2";
  store(w + "/Bank", make_coin(30, 0), task);
  store(w + "/Bank", make_coin(10, 1), task);
  store(w + "/Bank", make_coin(20, 0), task);
  store(w + "/Fracked", make_coin(5, -2), task);
  store(w + "/Bank", make_coin(99, 2), "other-task");  // not this task's coin

  receipt_install_writer();
  ReceiptInput in;
  in.kind = RECEIPT_DEPOSIT;
  in.wallet_path = w;
  in.task_id = task;
  in.bank_count = 3;
  in.fracked_count = 1;
  in.value_bank = 1200000000ULL;
  in.total_deposited = 1201000000ULL;
  in.detail_mode = RECEIPT_DETAILS_SCAN;
  std::string path, json;
  ASSERT_EQ(receipt_write_and_emit(in, &path, &json), RC_OK);
  EXPECT_EQ(path, w + "/Receipts/" + task + ".json");
  EXPECT_EQ(testsupport::read_file(path), json);
  EXPECT_TRUE(receipt_text_is_json(json));
  EXPECT_NE(json.find("\"coin_details_available\":true,\"coin_details_count\":4,\"coin_details_file\":\"Coin Details/" +
                      task + ".json\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"total_deposited\":12.01"), std::string::npos) << json;
  EXPECT_EQ(json.find("\"locker\""), std::string::npos);

  std::string details = testsupport::read_file(w + "/Receipts/Coin Details/" + task + ".json");
  EXPECT_TRUE(receipt_text_is_json(details));
  std::string pown(25, 'A');
  std::string expected_coins = "\"coins\":[{\"sn\":10,\"denom\":1,\"pown\":\"" + pown +
                               "\",\"bucket\":\"Bank\"},{\"sn\":20,\"denom\":0,\"pown\":\"" + pown +
                               "\",\"bucket\":\"Bank\"},{\"sn\":30,\"denom\":0,\"pown\":\"" + pown +
                               "\",\"bucket\":\"Bank\"},{\"sn\":5,\"denom\":-2,\"pown\":\"" + pown +
                               "\",\"bucket\":\"Fracked\"}]";
  EXPECT_NE(details.find("\"coin_count\":4," + expected_coins), std::string::npos) << details;
}

TEST(Receipts, LegacyCounterfeitsOrNoListGiveNoCompanion) {
  TempDir tmp;
  std::string w = tmp.sub("W");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  store(w + "/Bank", make_coin(1, 0), "T-legacy");
  receipt_install_writer();
  ReceiptInput in;
  in.wallet_path = w;
  in.task_id = "T-legacy";
  in.legacy_counterfeit_count = 2;
  in.detail_mode = RECEIPT_DETAILS_SCAN;
  std::string json;
  ASSERT_EQ(receipt_write_and_emit(in, nullptr, &json), RC_OK);
  EXPECT_NE(json.find("\"coin_details_available\":false,\"coin_details_count\":0,\"coin_details_file\":null"),
            std::string::npos)
      << json;
  EXPECT_FALSE(testsupport::file_exists(w + "/Receipts/Coin Details/T-legacy.json"));

  in.kind = RECEIPT_LOCKER_UPLOAD;
  in.task_id = "T-upload";
  in.locker_key = "key-1";
  in.kovra_consensus = 21;
  in.detail_mode = RECEIPT_DETAILS_LIST;
  in.coins.push_back(ReceiptCoin{7, 0, {}, "Locker"});
  ASSERT_EQ(receipt_write_and_emit(in, nullptr, &json), RC_OK);
  EXPECT_NE(json.find("\"locker\":{\"locker_key\":\"key-1\",\"kovra_consensus\":21}"), std::string::npos) << json;
  EXPECT_EQ(json.find("converted_count"), std::string::npos);  // deposit and upgrade only
  EXPECT_NE(testsupport::read_file(w + "/Receipts/Coin Details/T-upload.json").find("\"pown\":\"" + std::string(25, '.')),
            std::string::npos);
}

TEST(Receipts, RefusedWithoutInstalledWriterOrWithAnIdThatLeavesTheFolder) {
  TempDir tmp;
  ReceiptInput in;
  in.wallet_path = tmp.path();
  in.task_id = "T1";
  receipt_set_builder(nullptr);
  EXPECT_EQ(receipt_write_and_emit(in, nullptr, nullptr), RC_ERROR);
  receipt_install_writer();
  in.task_id = "../../escape";
  EXPECT_EQ(receipt_write_and_emit(in, nullptr, nullptr), RC_INVALID_PARAM);
  EXPECT_FALSE(testsupport::file_exists(tmp.path() + "/../escape.json"));
}

TEST(Receipts, JsonCheckAcceptsValidTextsAndRejectsDamagedOnes) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"{}", true},
      {"  {\"a\":[1,-2.5e3,true,null,\"x\\n\\u00e9\"]}\n", true},
      {"{\"a\":1,}", false},
      {"{\"a\":1", false},
      {"{\"a\":01}", false},
      {"{\"a\":\"tab\there\"}", false},
      {"{} {}", false},
      {"{\"a\":tru}", false},
  };
  for (const Case& c : cases) EXPECT_EQ(receipt_text_is_json(c.text), c.valid) << c.text;
}

TEST(WalletAdmin, RenameAndDeleteAnswerBusyWhileAnotherThreadHoldsTheWalletLock) {
  TempDir tmp;
  set_data_root(tmp.path());
  wallet_registry().clear();
  std::string w = tmp.sub("Wallets/Busy");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  ASSERT_EQ(wallet_registry().add(w), RC_OK);

  std::atomic<bool> locked{false}, done{false};
  std::thread holder([&] {
    WalletLockSet s;
    ASSERT_EQ(s.acquire({w}, WALLET_LOCK_WAIT), RC_OK);
    locked = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  while (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(wallet_admin_rename(w, "Other").outcome, WA_BUSY);
  EXPECT_EQ(wallet_admin_delete(w).outcome, WA_BUSY);
  done = true;
  holder.join();
  EXPECT_TRUE(testsupport::file_exists(w + "/Bank"));

  WalletAdminResult r = wallet_admin_rename(w, "Other");
  EXPECT_EQ(r.outcome, WA_OK);
  EXPECT_TRUE(wallet_registry().contains(tmp.sub("Wallets/Other")));
  EXPECT_FALSE(wallet_registry().contains(w));
  EXPECT_EQ(wallet_admin_delete(tmp.sub("Wallets/Other")).outcome, WA_OK);
  EXPECT_FALSE(testsupport::file_exists(tmp.sub("Wallets/Other")));
  wallet_registry().clear();
  set_data_root("");
}

TEST(WalletScan, CountsEveryFileWeighsMultiCoinFilesAndSkipsUnreadableOnes) {
  TempDir tmp;
  std::string w = tmp.sub("W");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  store(w + "/Bank", make_coin(1, 0), "");
  store(w + "/Fracked", make_coin(2, -8), "");
  Coin multi[3] = {make_coin(3, 1), make_coin(4, 1), make_coin(5, 1)};
  ASSERT_EQ(coin_file_write_multi_atomic(w + "/Bank/30 Zorbit.bin", multi, 3), RC_OK);
  ASSERT_TRUE(testsupport::write_file(w + "/Bank/junk.bin", "not a coin"));
  FolderScan bank;
  ASSERT_EQ(wallet_scan_folder(w, WF_BANK, &bank), RC_OK);
  ASSERT_EQ(bank.entries.size(), 2u);
  EXPECT_EQ(bank.total_units, 31 * 100000000ULL);
  EXPECT_EQ(wallet_bank_value(w), 31 * 100000000ULL + 1);
  WalletBalance b;
  ASSERT_EQ(wallet_balance(w, &b), RC_OK);
  EXPECT_EQ(b.bank_notes, 4u);
  EXPECT_EQ(b.fracked_notes, 1u);
  uint64_t counts[20] = {};
  ASSERT_EQ(wallet_count_folder_denominations(w + "/Bank", counts), RC_OK);
  EXPECT_EQ(counts[0 + 8], 1u);
  EXPECT_EQ(counts[1 + 8], 3u);
  FolderScan missing;
  EXPECT_EQ(wallet_scan_folder(tmp.sub("nowhere"), WF_BANK, &missing), RC_OK);
  EXPECT_EQ(wallet_scan_folder(w, 37, &missing), RC_INVALID_PARAM);
}

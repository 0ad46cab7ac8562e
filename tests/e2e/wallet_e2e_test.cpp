// The wallet endpoints through the real binary: a wallet's whole life with coins minted by the
// simulator, refusals that change nothing, a full registry, and a 4,096-coin listing.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "coins/coin.h"
#include "coins/coin_file_format.h"
#include "coins/coin_file_name.h"
#include "coins/ledger.h"
#include "coins/receipts.h"
#include "e2e/service_fixture.h"
#include "http/json_scan.h"
#include "http/strict_json.h"
#include "sim_control.h"
#include "support/test_support.h"

namespace {
std::string enc(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string member(const std::string& json, const char* name) {
  std::string out;
  json_scan_member(json, name, out);
  return out;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + part.size())) ++n;
  return n;
}

// Every entry below `root`, as relative paths, sorted: a snapshot to prove nothing changed.
void walk(const std::string& root, const std::string& rel, std::vector<std::string>* out) {
  DIR* d = opendir((root + rel).c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    out->push_back(rel + "/" + n);
    walk(root, rel + "/" + n, out);
  }
  closedir(d);
  std::sort(out->begin(), out->end());
}
std::vector<std::string> tree(const std::string& root) {
  std::vector<std::string> out;
  walk(root, "", &out);
  return out;
}

// Mints coins on a scratch simulator state and writes their files into `folder`.
MintResult mint_into(const std::string& state, const std::string& folder,
                     std::vector<std::pair<int8_t, uint32_t>> batches) {
  CoinTable table;
  EXPECT_EQ(table.open(state), RC_OK);
  SimCounters counters(25);
  SimControl control(&table, &counters);
  MintRequest req;
  req.batches = std::move(batches);
  req.folder = folder;
  MintResult result;
  EXPECT_EQ(control.mint(req, &result), RC_OK);
  return result;
}

// Writes `count` single-coin files quickly (no sync): listings and benchmarks only need the bytes.
void write_plain_coins(const std::string& folder, uint32_t first_sn, size_t count, int8_t denom) {
  for (size_t i = 0; i < count; ++i) {
    Coin c;
    c.serial_number = first_sn + static_cast<uint32_t>(i);
    c.denomination = denom;
    c.an[0][0] = 1;
    for (size_t s = 0; s < kServerCount; ++s) c.pown_status[s] = static_cast<uint8_t>(s % 2 ? 10 : 15);
    Secret image;
    ASSERT_EQ(coin_image_v9_single(c, &image), RC_OK);
    std::string name;
    ASSERT_EQ(coin_file_name(denomination_units(denom), 1, c.serial_number, "", &name), RC_OK);
    ASSERT_TRUE(testsupport::write_file(folder + "/" + name,
                                        std::string(reinterpret_cast<const char*>(image.data()), image.size())));
  }
}
}  // namespace

TEST(WalletE2E, WalletLifeFromCreateToDeleteWithMintedCoins) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start());
  const std::string wallets = svc.data_root() + "/Wallets";

  auto list = svc.get("/api/wallets/list");
  ASSERT_EQ(list.status, 200);
  EXPECT_EQ(member(list.body, "count"), "2");
  EXPECT_NE(list.body.find("\"wallet_path\":\"" + wallets + "/Default\",\"wallet_name\":\"Default\",\"online\":true"),
            std::string::npos)
      << list.body;

  auto created = svc.post("/api/wallets/create", "wallet_path=Savings");
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(created.body, "{\"command\":\"wallet-create\",\"success\":true,\"wallet_name\":\"Savings\",\"wallet_path\":\"" +
                              wallets + "/Savings\",\"message\":\"Wallet created successfully\"}");
  const std::string w = wallets + "/Savings";
  EXPECT_TRUE(testsupport::file_exists(w + "/Import/ZBv2"));
  EXPECT_EQ(member(svc.get("/api/wallets/list").body, "count"), "3");

  testsupport::TempDir sim;
  MintResult bank = mint_into(sim.path(), w + "/Bank", {{0, 2}, {1, 1}});
  MintResult fracked = mint_into(sim.path(), w + "/Fracked", {{-2, 1}});
  ASSERT_EQ(bank.coins.size(), 3u);
  ASSERT_EQ(fracked.coins.size(), 1u);

  auto balance = svc.get("/api/wallets/balance?wallet=Savings");
  ASSERT_EQ(balance.status, 200) << balance.body;
  EXPECT_NE(balance.body.find("\"total_notes\":4,\"total_value\":12.01,\"bank_notes\":3,\"bank_value\":12,"
                              "\"fracked_notes\":1,\"fracked_value\":0.01,\"limbo_notes\":0,\"limbo_value\":0,"
                              "\"balance_reconciled\":false,\"log_balance\":0,\"adjustment_made\":false,"
                              "\"adjustment_amount\":12.01,\"disk_balance\":12.01,\"balance_difference\":12.01}"),
            std::string::npos)
      << balance.body;

  auto show = svc.get("/api/wallets/show-coins?wallet_path=" + enc(w));
  ASSERT_EQ(show.status, 200) << show.body;
  EXPECT_TRUE(receipt_text_is_json(show.body));
  EXPECT_EQ(member(show.body, "total_coins"), "3");
  EXPECT_EQ(member(show.body, "total_value"), "12");
  EXPECT_EQ(count_of(show.body, "\"folder\":\"Bank\""), 4u);
  EXPECT_NE(show.body.find("\"denomination\":10,\"serial_number\":" + std::to_string(bank.coins[2].serial)),
            std::string::npos)
      << show.body;
  auto show_fracked = svc.get("/api/wallets/show-coins?wallet=Savings&folder=Fracked");
  EXPECT_NE(show_fracked.body.find("\"denomination\":0.01,\"serial_number\":" + std::to_string(fracked.coins[0].serial)),
            std::string::npos)
      << show_fracked.body;

  auto details = svc.get("/api/wallets/coin-details?wallet=Savings&serial_number=" +
                         std::to_string(fracked.coins[0].serial) + "&denomination=0.01");
  ASSERT_EQ(details.status, 200) << details.body;
  EXPECT_EQ(member(details.body, "folder"), "Fracked");
  EXPECT_EQ(member(details.body, "pown").size(), 25u);
  size_t ans = details.body.find("\"ans\":[");
  ASSERT_NE(ans, std::string::npos);
  EXPECT_EQ(count_of(details.body.substr(ans), "\""), 2u + 50u);
  EXPECT_EQ(svc.get("/api/wallets/coin-details?wallet=Savings&serial_number=" + std::to_string(fracked.coins[0].serial) +
                    "&denomination=1")
                .status,
            404);

  auto reg = svc.get("/api/wallets/register?wallet=Savings");
  EXPECT_NE(reg.body.find("\"register\":{\"1e-08\":0,\"1e-07\":0,\"1e-06\":0,\"1e-05\":0,\"0.0001\":0,\"0.001\":0,"
                          "\"0.01\":1,\"0.1\":0,\"1\":2,\"10\":1,\"100\":0,"),
            std::string::npos)
      << reg.body;

  // Ledger rows and a receipt as an operation of the service leaves them.
  for (int i = 1; i <= 12; ++i) {
    LedgerEntry e;
    e.amount_units = i * 100000000LL;
    e.remarks = "Deposit";
    e.description = "row " + std::to_string(i);
    e.task_id = "T" + std::to_string(i);
    ASSERT_EQ(ledger_append_with_balance(w, e, 1201000000ULL), RC_OK);
  }
  auto tx = svc.get("/api/wallets/transactions?wallet=Savings&limit=3");
  ASSERT_EQ(tx.status, 200);
  EXPECT_EQ(member(tx.body, "count"), "3");
  EXPECT_LT(tx.body.find("row 12"), tx.body.find("row 11"));  // the newest rows, newest first
  EXPECT_EQ(tx.body.find("row 9"), std::string::npos);
  EXPECT_NE(svc.get("/api/wallets/balance?wallet=Savings").body.find("\"balance_reconciled\":true,\"log_balance\":12.01}"),
            std::string::npos);

  receipt_install_writer();
  ReceiptInput in;
  in.wallet_path = w;
  in.task_id = "Dec-11-26_09-00-00-am-abcd";
  in.bank_count = 3;
  in.detail_mode = RECEIPT_DETAILS_NONE;
  ASSERT_EQ(receipt_write_and_emit(in, nullptr, nullptr), RC_OK);
  auto receipts = svc.get("/api/wallets/receipts?wallet=Savings");
  EXPECT_NE(receipts.body.find("\"files\":[\"Dec-11-26_09-00-00-am-abcd.json\"],\"count\":1"), std::string::npos)
      << receipts.body;
  auto receipt = svc.get("/api/wallets/receipts?wallet=Savings&filename=Dec-11-26_09-00-00-am-abcd.json");
  ASSERT_EQ(receipt.status, 200);
  EXPECT_EQ(receipt.body.rfind("{\"status\":\"success\",\"command\":\"receipt\",\"filename\":\"Dec-11-26_09-00-00-am-abcd."
                               "json\",\"content\":{\"schema_version\":1,",
                               0),
            0u)
      << receipt.body;
  EXPECT_TRUE(receipt_text_is_json(receipt.body));
  EXPECT_TRUE(strict_json::valid(receipt.body)) << receipt.body;

  // A damaged receipt (a byte that is not UTF-8 inside an object) is carried as a string, so
  // the reply still parses.
  ASSERT_TRUE(testsupport::write_file(w + "/Receipts/damaged.json", "{\"memo\":\"caf\xE9\"}"));
  auto damaged = svc.get("/api/wallets/receipts?wallet=Savings&filename=damaged.json");
  ASSERT_EQ(damaged.status, 200);
  EXPECT_NE(damaged.body.find("\"content\":\"{"), std::string::npos) << damaged.body;
  EXPECT_TRUE(strict_json::valid(damaged.body)) << damaged.body;

  // Delete is refused while Bank or Fracked hold coins; Default and Mail are protected.
  auto refused = svc.post("/api/wallets/delete", "wallet_path=" + enc(w));
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(member(refused.body, "message"), "Wallet is not empty. Empty the Bank and Fracked folders before deleting it.");
  EXPECT_EQ(member(svc.post("/api/wallets/delete", "wallet_path=" + enc(wallets + "/Default")).body, "message"),
            "Cannot delete the Default wallet");
  EXPECT_EQ(member(svc.post("/api/wallets/delete", "wallet_path=" + enc(wallets + "/Mail")).body, "message"),
            "Cannot delete the Mail wallet");
  EXPECT_EQ(member(svc.post("/api/wallets/rename", "wallet_path=" + enc(wallets + "/Mail") + "&new_name=X").body,
                   "message"),
            "Cannot rename the Mail wallet");

  auto renamed = svc.post("/api/wallets/rename", "wallet_path=" + enc(w) + "&new_name=Spending");
  ASSERT_EQ(renamed.status, 200) << renamed.body;
  EXPECT_EQ(member(renamed.body, "new_path"), wallets + "/Spending");
  const std::string w2 = wallets + "/Spending";
  EXPECT_NE(svc.get("/api/wallets/list").body.find("\"wallet_name\":\"Spending\""), std::string::npos);
  EXPECT_EQ(svc.get("/api/wallets/balance?wallet=Savings").status, 404);

  // Coins elsewhere than Bank and Fracked do not block a delete.
  for (const std::string& f : bank.files) {
    std::string name = f.substr(f.rfind('/') + 1);
    ASSERT_EQ(rename((w2 + "/Bank/" + name).c_str(), (w2 + "/Limbo/" + name).c_str()), 0);
  }
  std::string fname = fracked.files[0].substr(fracked.files[0].rfind('/') + 1);
  ASSERT_EQ(rename((w2 + "/Fracked/" + fname).c_str(), (w2 + "/Counterfeit/" + fname).c_str()), 0);
  auto deleted = svc.post("/api/wallets/delete", "wallet_path=" + enc(w2));
  ASSERT_EQ(deleted.status, 200) << deleted.body;
  EXPECT_FALSE(testsupport::file_exists(w2));
  EXPECT_EQ(member(svc.get("/api/wallets/list").body, "count"), "2");
  EXPECT_EQ(testsupport::read_file(svc.data_root() + "/wallet_paths.txt"),
            wallets + "/Default\n" + wallets + "/Mail\n");
  EXPECT_EQ(svc.stop(), 0);
}

TEST(WalletE2E, BadInputGetsAClearJsonErrorAndChangesNothing) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start());
  const std::string wallets = svc.data_root() + "/Wallets";
  ASSERT_EQ(svc.post("/api/wallets/create", "wallet_path=Savings").status, 200);
  const std::string w = enc(wallets + "/Savings");
  const std::string before_tree = testsupport::read_file(svc.data_root() + "/wallet_paths.txt");
  const std::vector<std::string> before = tree(svc.data_root() + "/Wallets");
  testsupport::TempDir outside;

  struct Case {
    bool post;
    std::string target;
    std::string body;
    int status;
    std::string message;  // prefix of the message
  } cases[] = {
      {true, "/api/wallets/create", "", 400, "Missing required parameter: wallet_path"},
      {true, "/api/wallets/create", "wallet_path=" + enc("../escape"), 400, "Invalid wallet_path"},
      {true, "/api/wallets/create", "wallet_path=" + enc(outside.path() + "/a/../b"), 400, "Invalid wallet_path"},
      {true, "/api/wallets/create", "wallet_path=" + enc("bad\x01name"), 400, "Invalid wallet_path"},
      {true, "/api/wallets/create", "wallet_path=" + enc("sub/dir"), 400, "Invalid wallet_path"},
      {true, "/api/wallets/create", "wallet_path=Default", 409, "A wallet already exists at that path"},
      {true, "/api/wallets/create", "wallet_path=" + enc(wallets + "/SAVINGS"), 409,
       "A registered wallet path differs only by letter case: " + wallets + "/Savings"},
      {true, "/api/wallets/rename", "wallet_path=" + w + "&new_name=" + enc("a/b"), 400, "Invalid new_name"},
      {true, "/api/wallets/rename", "wallet_path=" + w + "&new_name=..", 400, "Invalid new_name"},
      {true, "/api/wallets/rename", "wallet_path=" + w + "&new_name=" + enc("x\ny"), 400, "Invalid new_name"},
      {true, "/api/wallets/rename", "wallet_path=" + w + "&new_name=" + enc("..\\up"), 400, "Invalid new_name"},
      {true, "/api/wallets/rename", "wallet_path=" + w + "&new_name=Mail", 400, "A wallet with that name already exists"},
      {true, "/api/wallets/rename", "wallet_path=" + w, 400, "Missing required parameter: new_name"},
      {true, "/api/wallets/rename", "wallet_path=" + enc(wallets + "/Default") + "&new_name=Z", 400,
       "Cannot rename the Default wallet"},
      {true, "/api/wallets/delete", "wallet_path=" + enc(outside.path()), 404, "Wallet not found in registry"},
      {true, "/api/wallets/rename", "wallet_path=" + enc(outside.path()) + "&new_name=Moved", 404,
       "Wallet not found in registry"},
      {true, "/api/wallets/delete", "wallet_path=" + enc(wallets + "/Nope"), 404, "Wallet not found"},
      {false, "/api/wallets/show-coins?wallet=Savings&folder=" + enc("Bank/../..") , "", 400, "Invalid folder name"},
      {false, "/api/wallets/show-coins?wallet=Savings&folder=" + enc("a/b"), "", 400, "Invalid folder name"},
      {false, "/api/wallets/show-coins?wallet=Nope", "", 404, "Wallet path does not exist"},
      {false, "/api/wallets/receipts?wallet=Savings&filename=" + enc("../transactions.csv"), "", 400, "Invalid filename"},
      {false, "/api/wallets/receipts?wallet=Savings&filename=none.json", "", 404, "Receipt not found"},
      {false, "/api/wallets/coin-details?wallet=Savings&serial_number=5", "", 400, "Missing serial_number or denomination"},
      {false, "/api/wallets/coin-details?wallet=Savings&serial_number=5&denomination=0.3", "", 400,
       "Invalid denomination value"},
      {false, "/api/wallets/balance?wallet=" + enc("../../.."), "", 400, "Invalid wallet path"},
      {false, "/api/wallets/register?wallet=Nope", "", 404, "Wallet not found"},
      {false, "/api/wallets/transactions?wallet=Nope", "", 404, "Wallet not found"},
  };
  for (const Case& c : cases) {
    auto r = c.post ? svc.post(c.target, c.body) : svc.get(c.target);
    EXPECT_EQ(r.status, c.status) << c.target << " " << c.body << " -> " << r.body;
    EXPECT_EQ(member(r.body, "error"), "true") << r.body;
    EXPECT_EQ(member(r.body, "message").rfind(c.message, 0), 0u) << c.target << " " << c.body << " -> " << r.body;
    EXPECT_EQ(member(r.body, "code"), std::to_string(c.status));
  }
  auto missing = svc.get("/api/wallets/balance?wallet=Nope");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(member(missing.body, "wallet_path"), wallets + "/Nope");

  EXPECT_EQ(tree(svc.data_root() + "/Wallets"), before);
  EXPECT_EQ(testsupport::read_file(svc.data_root() + "/wallet_paths.txt"), before_tree);
  EXPECT_TRUE(tree(outside.path()).empty());
  EXPECT_EQ(svc.stop(), 0);
}

TEST(WalletE2E, CreateRefusesAFullRegistryBeforeMakingAnyFolder) {
  testsupport::TempDir dir;
  std::string root = dir.path() + "/Client_Data";
  ASSERT_EQ(system(("mkdir -p '" + root + "'").c_str()), 0);
  std::string lines;
  for (int i = 0; i < 998; ++i) lines += dir.path() + "/offline/w" + std::to_string(i) + "\n";
  ASSERT_TRUE(testsupport::write_file(root + "/wallet_paths.txt", lines));
  e2e::Service svc(dir.path());
  ASSERT_TRUE(svc.start());
  EXPECT_NE(svc.output().find("Wallet registry:  1000 wallet(s) loaded"), std::string::npos) << svc.output();
  auto r = svc.post("/api/wallets/create", "wallet_path=Extra");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(member(r.body, "message").rfind("Wallet registry is full", 0), 0u) << r.body;
  EXPECT_FALSE(testsupport::file_exists(root + "/Wallets/Extra"));
  EXPECT_FALSE(testsupport::file_exists(dir.path() + "/offline"));  // offline wallets are not re-created
  EXPECT_EQ(svc.stop(), 0);
}

TEST(WalletE2E, ShowCoinsOf4096CoinsIsValidJsonWhileBalanceCountsEveryFile) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start());
  const std::string bank = svc.data_root() + "/Wallets/Default/Bank";
  write_plain_coins(bank, 1000, 4100, 0);
  auto show = svc.get("/api/wallets/show-coins", 20000);
  ASSERT_EQ(show.status, 200);
  EXPECT_TRUE(receipt_text_is_json(show.body));
  EXPECT_EQ(member(show.body, "total_coins"), "4096");
  EXPECT_EQ(count_of(show.body, "\"pown\":\"fpfpfpfpfpfpfpfpfpfpfpfpf\""), 4096u);
  auto balance = svc.get("/api/wallets/balance", 20000);
  EXPECT_EQ(member(balance.body, "bank_notes"), "4100");
  EXPECT_EQ(member(balance.body, "bank_value"), "4100");
  auto reg = svc.get("/api/wallets/register", 20000);
  EXPECT_NE(reg.body.find("\"1\":4100"), std::string::npos) << reg.body;
  EXPECT_EQ(svc.stop(), 0);
}

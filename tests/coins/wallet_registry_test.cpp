// The wallet folder model and the registry: structure, names, addresses, normalisation, the
// 1000-wallet limit, letter-case clashes, rebase after a moved data root and the start-up lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "coins/wallet.h"
#include "coins/wallet_registry.h"
#include "runtime/startup.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {
bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

TEST(WalletStructure, CreatesAll37FoldersLedgerAndConfigAndKeepsExistingFiles) {
  TempDir tmp;
  std::string w = tmp.sub("Wallets/MyWallet");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  for (int i = 0; i < kWalletFolderCount; ++i) EXPECT_TRUE(is_dir(w + "/" + wallet_folder_name(i))) << i;
  EXPECT_EQ(testsupport::read_file(w + "/transactions.csv"),
            "Symbol,Task ID,Date & Time,Remarks,Deposit,Withdraw,Description,Balance\n");
  std::string config = testsupport::read_file(w + "/config.csv");
  EXPECT_EQ(config.rfind("wallet_name,MyWallet\ncreated,", 0), 0u) << config;

  ASSERT_TRUE(testsupport::write_file(w + "/transactions.csv", "kept\n"));
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  EXPECT_EQ(testsupport::read_file(w + "/transactions.csv"), "kept\n");
}

TEST(WalletStructure, FolderIndexOutsideTheSetIsRefused) {
  std::string out;
  EXPECT_EQ(wallet_folder_path("/w", 36, &out), RC_OK);
  EXPECT_EQ(out, "/w/Import/ZBv2");
  EXPECT_EQ(wallet_folder_path("/w", 37, &out), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_folder_path("/w", -1, &out), RC_INVALID_PARAM);
}

TEST(WalletStructure, MoveBetweenFoldersKeepsTheFileAndRefusesNamesThatLeaveTheFolder) {
  TempDir tmp;
  std::string w = tmp.sub("W");
  ASSERT_EQ(wallet_create_structure(w), RC_OK);
  ASSERT_TRUE(testsupport::write_file(w + "/Suspect/c.bin", "coin"));
  ASSERT_EQ(wallet_move_between(w, "c.bin", WF_SUSPECT, WF_GRADE), RC_OK);
  EXPECT_EQ(testsupport::read_file(w + "/Grade/c.bin"), "coin");
  EXPECT_FALSE(testsupport::file_exists(w + "/Suspect/c.bin"));
  EXPECT_EQ(wallet_move_between(w, "../transactions.csv", WF_GRADE, WF_TRASH), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_move_between(w, "c.bin", WF_GRADE, 37), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_move_between(w, "missing.bin", WF_GRADE, WF_TRASH), RC_FILE);
  EXPECT_TRUE(testsupport::file_exists(w + "/transactions.csv"));
}

TEST(WalletNames, NormalisationDisplayNameAndPlainNames) {
  EXPECT_EQ(wallet_normalize_path("D:\\Coins\\Wallets\\Alice\\"), "D:/Coins/Wallets/Alice");
  EXPECT_EQ(wallet_normalize_path("/home/u/Wallets/Bob///"), "/home/u/Wallets/Bob");
  EXPECT_EQ(wallet_normalize_path("/"), "/");
  EXPECT_EQ(wallet_display_name("/a/b/Alice/"), "Alice");
  EXPECT_EQ(wallet_display_name("/x/" + std::string(80, 'n')).size(), kWalletNameMax);
  EXPECT_TRUE(wallet_is_mail("/data/Wallets/mail"));
  EXPECT_FALSE(wallet_is_mail("/data/Wallets/Mailbox"));

  struct Case {
    const char* name;
    bool plain;
  } cases[] = {{"Savings", true}, {"my wallet", true}, {"", false},      {".", false},
               {"..", false},     {"a/b", false},      {"a\\b", false},  {"bad\nname", false},
               {"tab\tx", false}, {"..hidden", true}};
  for (const Case& c : cases) EXPECT_EQ(is_plain_name(c.name), c.plain) << c.name;
  EXPECT_TRUE(has_dotdot_component("/a/../b"));
  EXPECT_TRUE(has_dotdot_component("..\\x"));
  EXPECT_FALSE(has_dotdot_component("/a/..b/c"));
}

TEST(WalletAddress, ResolvesPathOrNameAndRefusesNamesThatLeaveTheWalletsFolder) {
  std::string out;
  ASSERT_EQ(wallet_resolve_address("C:\\W\\Alice\\", "", &out), RC_OK);
  EXPECT_EQ(out, "C:/W/Alice");
  ASSERT_EQ(wallet_resolve_address("", "", &out), RC_OK);
  EXPECT_EQ(out, wallets_dir() + "/Default");
  ASSERT_EQ(wallet_resolve_address("", "Savings", &out), RC_OK);
  EXPECT_EQ(out, wallets_dir() + "/Savings");
  // The same rule as the request layer's: separators normalised, nothing outside the wallets folder.
  ASSERT_EQ(wallet_resolve_address("", "Savings\\", &out), RC_OK);
  EXPECT_EQ(out, wallets_dir() + "/Savings");
  EXPECT_EQ(wallet_resolve_address("", "../../etc", &out), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_resolve_address("", "a/../..", &out), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_resolve_address("/w/x\x01", "", &out), RC_INVALID_PARAM);
  EXPECT_EQ(wallet_resolve_address(std::string(4096, 'a'), "", &out), RC_INVALID_PARAM);
}

TEST(WalletRegistry, LoadNormalisesSkipsBlankLinesAndSaveRoundTrips) {
  TempDir tmp;
  ASSERT_TRUE(testsupport::write_file(tmp.sub("wallet_paths.txt"), "D:/Coins/Wallets/Alice/\r\n\n/w/Bob\n"));
  WalletRegistry reg;
  bool missing = true;
  ASSERT_EQ(reg.load(tmp.path(), &missing), RC_OK);
  EXPECT_FALSE(missing);
  ASSERT_EQ(reg.count(), 2u);
  WalletEntry e;
  ASSERT_TRUE(reg.entry(0, &e));
  EXPECT_EQ(e.path, "D:/Coins/Wallets/Alice");
  EXPECT_EQ(e.name, "Alice");
  EXPECT_FALSE(reg.entry(2, &e));
  ASSERT_EQ(reg.save(tmp.path()), RC_OK);
  EXPECT_EQ(testsupport::read_file(tmp.sub("wallet_paths.txt")), "D:/Coins/Wallets/Alice\n/w/Bob\n");

  WalletRegistry empty;
  ASSERT_EQ(empty.load(tmp.sub("nowhere"), &missing), RC_OK);
  EXPECT_TRUE(missing);
  EXPECT_EQ(empty.count(), 0u);
}

TEST(WalletRegistry, AddIsExactRefusesCaseOnlyDifferenceAndStopsAt1000) {
  WalletRegistry reg;
  bool added = false;
  ASSERT_EQ(reg.add("/w/Alice", &added), RC_OK);
  EXPECT_TRUE(added);
  ASSERT_EQ(reg.add("/w/Alice/", &added), RC_OK);
  EXPECT_FALSE(added);
  std::string existing;
  EXPECT_TRUE(reg.case_clash("/w/ALICE", &existing));
  EXPECT_EQ(existing, "/w/Alice");
  EXPECT_EQ(reg.add("/w/ALICE", &added), RC_INVALID_PARAM);
  EXPECT_EQ(reg.count(), 1u);
  EXPECT_EQ(reg.remove("/w/alice"), RC_NOT_FOUND);
  EXPECT_EQ(reg.add("/" + std::string(600, 'x')), RC_INVALID_PARAM);

  for (int i = 1; i < 1000; ++i) ASSERT_EQ(reg.add("/w/n" + std::to_string(i)), RC_OK) << i;
  EXPECT_TRUE(reg.full());
  EXPECT_EQ(reg.add("/w/one-too-many"), RC_MEMORY);
  EXPECT_EQ(reg.count(), 1000u);
  EXPECT_EQ(reg.remove("/w/Alice"), RC_OK);
  EXPECT_EQ(reg.add("/w/one-too-many"), RC_OK);
}

TEST(WalletRegistry, RebaseMovesEntriesOfAMovedDataRootAndDropsDuplicates) {
  TempDir tmp;
  std::string root = tmp.sub("New/Client_Data");
  ASSERT_EQ(wallet_create_structure(root + "/Wallets/Bob"), RC_OK);
  WalletRegistry reg;
  ASSERT_EQ(reg.add("/Old/Client_Data/Wallets/Bob"), RC_OK);
  ASSERT_EQ(reg.add("/Old/Client_Data/Wallets/Gone"), RC_OK);  // no folder under the new root: kept
  ASSERT_EQ(reg.add("/elsewhere/Savings"), RC_OK);              // not under a data root: kept
  ASSERT_EQ(reg.add(root + "/Wallets/Bob"), RC_OK);             // becomes a duplicate after the move
  int repairs = 0;
  ASSERT_EQ(reg.rebase(root, &repairs), RC_OK);
  EXPECT_EQ(repairs, 2);
  std::vector<WalletEntry> all = reg.entries();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].path, root + "/Wallets/Bob");
  EXPECT_EQ(all[1].path, "/Old/Client_Data/Wallets/Gone");
  EXPECT_EQ(all[2].path, "/elsewhere/Savings");

  // Exact comparison: a path under a differently cased root name is not this data root.
  WalletRegistry cased;
  ASSERT_EQ(cased.add("/Old/client_data/Wallets/Bob"), RC_OK);
  ASSERT_EQ(cased.rebase(root, &repairs), RC_OK);
  EXPECT_EQ(repairs, 0);
  EXPECT_EQ(cased.rebase("", &repairs), RC_INVALID_PARAM);
  EXPECT_EQ(cased.rebase("/", &repairs), RC_INVALID_PARAM);
}

TEST(WalletStartup, RegistersDefaultAndMailRemovesEmptyLockeredAndRepairsMissingFolders) {
  TempDir tmp;
  std::string root = tmp.sub("Client_Data");
  std::string wallets = root + "/Wallets";
  ASSERT_EQ(wallet_startup_create_defaults(wallets), RC_OK);
  std::string other = tmp.sub("Elsewhere/Savings");
  ASSERT_EQ(wallet_create_structure(other), RC_OK);
  ASSERT_EQ(::mkdir((other + "/Lockered").c_str(), 0755), 0);
  ASSERT_EQ(::rmdir((other + "/Trash").c_str()), 0);
  ASSERT_TRUE(testsupport::write_file(root + "/wallet_paths.txt", other + "\n"));

  wallet_registry().clear();
  ASSERT_EQ(wallet_startup_registry(root, wallets), RC_OK);
  EXPECT_EQ(wallet_registry().count(), 3u);
  EXPECT_FALSE(is_dir(other + "/Lockered"));
  EXPECT_TRUE(is_dir(other + "/Trash"));
  EXPECT_EQ(testsupport::read_file(root + "/wallet_paths.txt"),
            other + "\n" + wallets + "/Default\n" + wallets + "/Mail\n");
  wallet_registry().clear();
}

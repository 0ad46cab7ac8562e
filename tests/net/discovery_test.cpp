#include "net/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/data_root.h"
#include "support/loopback_servers.h"
#include "support/test_support.h"

namespace {

using testsupport::HttpResponder;

std::string canonical_list(const std::string& host = "127.0.0.1") {
  std::string s;
  for (int i = 0; i < 25; ++i) {
    bool mail = builtin_mail_flag(i);
    s += (i ? "\n" : "") + host + ":" + std::to_string(50000 + i) + (mail ? ",P" : ",K");
  }
  return s;
}

TEST(ServerListValidator, AcceptsAndNormalisesAWellFormedList) {
  std::string reply = canonical_list();
  ASSERT_TRUE(validate_server_list(&reply));
  EXPECT_EQ(reply, canonical_list());
}

TEST(ServerListValidator, LowerCaseSpacesAndCrlfNormaliseToTheSameText) {
  std::string messy;
  for (int i = 0; i < 25; ++i)
    messy += "  127.0.0.1 : " + std::to_string(50000 + i) + " , " + (builtin_mail_flag(i) ? "p" : "k") + "  \r\n";
  messy = "\r\n" + messy + "\r\n\r\n";
  ASSERT_TRUE(validate_server_list(&messy));
  EXPECT_EQ(messy, canonical_list());
}

TEST(ServerListValidator, RefusesBadLists) {
  struct Case {
    const char* what;
    std::function<std::string()> make;
  } cases[] = {
      {"24 lines", [] { return canonical_list().substr(0, canonical_list().rfind('\n')); }},
      {"26 lines", [] { return canonical_list() + "\n127.0.0.1:50025,K"; }},
      {"4th line carries 50004",
       [] {
         std::string s = canonical_list();
         s.replace(s.find(":50003"), 6, ":50004");
         return s;
       }},
      {"flag X",
       [] {
         std::string s = canonical_list();
         s.replace(s.find("50002,K"), 7, "50002,X");
         return s;
       }},
      {"two colons",
       [] {
         std::string s = canonical_list();
         s.replace(s.find("127.0.0.1:50005"), 15, "127.0.0.1::50005");
         return s;
       }},
      {"bad host character",
       [] {
         std::string s = canonical_list();
         s.replace(s.find("127.0.0.1:50006"), 9, "127_0.0.1");
         return s;
       }},
  };
  for (const auto& c : cases) {
    std::string reply = c.make();
    EXPECT_FALSE(validate_server_list(&reply)) << c.what;
  }
}

TEST(AgreedListParser, SkipsBadLinesAndReadsFlags) {
  std::string text = "10.0.0.1:50000,p\r\n\r\n  bad line  \nhost.example:50001 , K\nx:99999,K\ny:123,Q\nz:7,P\n";
  std::vector<ServerEntry> rows;
  ASSERT_EQ(parse_agreed_server_list(text, &rows), 3);
  EXPECT_EQ(rows[0].host, "10.0.0.1");
  EXPECT_TRUE(rows[0].mail);
  EXPECT_EQ(rows[1].host, "host.example");
  EXPECT_EQ(rows[1].port, 50001);
  EXPECT_FALSE(rows[1].mail);
  EXPECT_EQ(rows[2].host, "z");
  EXPECT_EQ(rows[2].port, 7);
}

class Consensus : public ::testing::Test {
 protected:
  void SetUp() override { set_data_root(dir_.path()); }
  void TearDown() override {
    set_discovery_fetch(nullptr);
    set_discovery_hosts({});
    directory_shutdown();
    set_data_root("");
  }
  testsupport::TempDir dir_;
};

TEST_F(Consensus, ResponderMajorityTakesTheMostCommonReply) {
  // 14 identical replies, 6 others, 5 failures out of 25: majority of 20 responders is 11.
  std::atomic<int> calls{0};
  set_discovery_fetch([&](const std::string& url, std::string* body) {
    int id = std::stoi(url.substr(url.find("/s") - 2, 2));
    ++calls;
    if (id < 14) *body = "A";
    else if (id < 20) *body = "B" + std::to_string(id);
    else return RC_ERROR;
    return RC_OK;
  });
  std::vector<std::string> hosts;
  for (int i = 0; i < 25; ++i) hosts.push_back("http://127.0.0.1:1/" + std::string(i < 10 ? "0" : "") + std::to_string(i));
  set_discovery_hosts(hosts);
  ConsensusOptions opt;
  opt.pool_size = 25;
  opt.needed = 2;
  opt.responder_majority = true;
  std::string text;
  ASSERT_EQ(consensus_fetch("kovra_servers", opt, &text), RC_OK);
  EXPECT_EQ(text, "A");
  EXPECT_EQ(calls.load(), 25);
}

TEST_F(Consensus, NoAgreementAndNoRepliesAreDistinctFailures) {
  std::vector<std::string> hosts;
  for (int i = 0; i < 25; ++i) hosts.push_back("http://127.0.0.1:1/" + std::string(i < 10 ? "0" : "") + std::to_string(i));
  set_discovery_hosts(hosts);
  set_discovery_fetch([](const std::string& url, std::string* body) {
    *body = url;  // every server says something different
    return RC_OK;
  });
  ConsensusOptions opt;
  opt.pool_size = 5;
  std::string text;
  EXPECT_EQ(consensus_fetch("x", opt, &text), RC_NOT_FOUND);
  set_discovery_fetch([](const std::string&, std::string*) { return RC_ERROR; });
  EXPECT_EQ(consensus_fetch("x", opt, &text), RC_ERROR);
  opt.pool_size = 0;
  EXPECT_EQ(consensus_fetch("x", opt, &text), RC_INVALID_PARAM);
}

TEST_F(Consensus, DefaultHostsFailFastOnLoopback) {
  ConsensusOptions opt;
  opt.pool_size = 25;
  std::string text;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(consensus_fetch("kovra_servers", opt, &text), RC_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(discovery_url(3, "kovra_servers"), "http://127.0.0.1:1/service/kovra_servers");
}

TEST_F(Consensus, DiscoveryOverLoopbackHttpRewritesTheServerList) {
  // The web hosts agree on a list that differs from the file (host names in lower and upper case).
  std::string served;
  for (int i = 0; i < 25; ++i)
    served += "  127.0.0.2:" + std::to_string(50000 + i) + "," + (i == 2 ? "p" : "k") + "\r\n";
  HttpResponder web([&](const std::string& path) { return path == "/service/kovra_servers" ? served : std::string("no"); });
  set_discovery_hosts(std::vector<std::string>(25, web.url()));
  ASSERT_EQ(write_default_server_file(server_file_path()), RC_OK);
  ASSERT_EQ(directory_init(true), RC_OK);
  EXPECT_GE(web.requests(), 2);
  ServerEntry e;
  ASSERT_EQ(server_entry(2, &e), RC_OK);
  EXPECT_EQ(e.host, "127.0.0.2");
  EXPECT_EQ(e.port, 50002);
  EXPECT_TRUE(e.mail);
  ASSERT_EQ(server_entry(0, &e), RC_OK);
  EXPECT_FALSE(e.mail);
  std::string file = testsupport::read_file(server_file_path());
  EXPECT_EQ(file.substr(0, 36), "127.0.0.2:50000,K\n127.0.0.2:50001,K\n");
}

TEST_F(Consensus, MatchingListIsNotRewrittenButAnOldFormFileIsUpgraded) {
  std::string served = canonical_list();
  for (char& c : served)
    if (c == 'P' || c == 'K') c = static_cast<char>(c + 32);  // lower-case flags still match
  HttpResponder web([&](const std::string&) { return served; });
  set_discovery_hosts(std::vector<std::string>(25, web.url()));
  // Old form: host:port only. Same servers, so only the format changes.
  std::string old_form;
  for (int i = 0; i < 25; ++i) old_form += "127.0.0.1:" + std::to_string(50000 + i) + "\n";
  ASSERT_TRUE(testsupport::write_file(server_file_path(), old_form));
  ASSERT_TRUE(run_server_discovery(server_file_path()));
  std::vector<ServerEntry> list;
  ASSERT_EQ(read_server_file(server_file_path(), &list), RC_OK);
  EXPECT_EQ(list, builtin_server_list());
  EXPECT_NE(testsupport::read_file(server_file_path()), old_form);
  // Now current: a second run leaves the file as it is.
  std::string before = testsupport::read_file(server_file_path());
  ASSERT_TRUE(run_server_discovery(server_file_path()));
  EXPECT_EQ(testsupport::read_file(server_file_path()), before);
}

TEST_F(Consensus, InvalidRepliesKeepTheFile) {
  std::string served = canonical_list();
  served.replace(served.find(":50003"), 6, ":50004");  // fails validation everywhere
  HttpResponder web([&](const std::string&) { return served; });
  set_discovery_hosts(std::vector<std::string>(25, web.url()));
  ASSERT_EQ(write_default_server_file(server_file_path()), RC_OK);
  std::string before = testsupport::read_file(server_file_path());
  EXPECT_FALSE(run_server_discovery(server_file_path()));
  EXPECT_EQ(testsupport::read_file(server_file_path()), before);
}

}  // namespace

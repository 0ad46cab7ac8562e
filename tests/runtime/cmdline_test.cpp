#include "runtime/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::vector<std::string> args;
  const char* env_token;
  CmdlineAction action;
  uint16_t port;
  bool port_explicit;
  bool debug;
  std::string api_token;
  std::string err_start;  // expected beginning of stderr text ("" = none)
};

TEST(Cmdline, OptionsTable) {
  const std::string t128(128, 'k');
  const std::string t129(129, 'k');
  const Case cases[] = {
      {{}, nullptr, CmdlineAction::RUN, 8080, false, false, "", ""},
      {{"-port", "9000"}, nullptr, CmdlineAction::RUN, 9000, true, false, "", ""},
      {{"--port", "70000"}, nullptr, CmdlineAction::RUN, 70000 % 65536, true, false, "", ""},
      {{"-port", "-1"}, nullptr, CmdlineAction::RUN, 65535, true, false, "", ""},
      {{"-port", "12ab"}, nullptr, CmdlineAction::RUN, 12, true, false, "", ""},
      // A value option takes the next argument whatever it looks like.
      {{"-port", "-debug"}, nullptr, CmdlineAction::RUN, 0, true, false, "", ""},
      {{"-d"}, nullptr, CmdlineAction::RUN, 8080, false, true, "", ""},
      {{"--debug", "-debug"}, nullptr, CmdlineAction::RUN, 8080, false, true, "", ""},
      {{"-api-token", t128}, nullptr, CmdlineAction::RUN, 8080, false, false, t128, ""},
      {{"-api-token", t129}, nullptr, CmdlineAction::EXIT_FAIL, 8080, false, false, "",
       "ERROR: -api-token is too long (max 128 chars)\n\n"},
      {{}, "envtok", CmdlineAction::RUN, 8080, false, false, "envtok", ""},
      {{"--api-token", "cli"}, "envtok", CmdlineAction::RUN, 8080, false, false, "cli", ""},
      {{}, t129.c_str(), CmdlineAction::RUN, 8080, false, false, "", ""},  // silently ignored
      {{}, "", CmdlineAction::RUN, 8080, false, false, "", ""},
      {{"-port"}, nullptr, CmdlineAction::EXIT_FAIL, 8080, false, false, "", "ERROR: -port requires a port number\n\n"},
      {{"-data-dir"}, nullptr, CmdlineAction::EXIT_FAIL, 8080, false, false, "", "ERROR: -data-dir requires a path\n\n"},
      {{"-api-token"}, nullptr, CmdlineAction::EXIT_FAIL, 8080, false, false, "", "ERROR: -api-token requires a value\n\n"},
      {{"-PORT", "1"}, nullptr, CmdlineAction::EXIT_FAIL, 8080, false, false, "", "ERROR: Unknown argument: -PORT\n"},
      // Help and version win as soon as they are met, even after an error.
      {{"-bogus", "--help"}, nullptr, CmdlineAction::EXIT_OK, 8080, false, false, "", "ERROR: Unknown argument: -bogus\n"},
      {{"-v", "-bogus"}, nullptr, CmdlineAction::EXIT_OK, 8080, false, false, "", ""},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += a.substr(0, 20) + " ";
    StartupOptions opts;
    CmdlineResult r = cmdline_parse(c.args, c.env_token, &opts);
    EXPECT_EQ(static_cast<int>(r.action), static_cast<int>(c.action)) << label;
    if (c.action == CmdlineAction::RUN) {
      EXPECT_EQ(opts.port, c.port) << label;
      EXPECT_EQ(opts.port_explicit, c.port_explicit) << label;
      EXPECT_EQ(opts.debug, c.debug) << label;
      EXPECT_EQ(opts.api_token, c.api_token) << label;
      EXPECT_EQ(r.err, "") << label;
    } else {
      EXPECT_EQ(r.err.substr(0, c.err_start.size()), c.err_start) << label;
    }
    if (c.action == CmdlineAction::EXIT_FAIL) {
      EXPECT_EQ(r.err.substr(r.err.size() - cmdline_short_usage().size() - 1), "\n" + cmdline_short_usage()) << label;
    }
  }
}

TEST(Cmdline, ErrorsAreAllReportedBeforeTheShortUsage) {
  StartupOptions opts;
  CmdlineResult r = cmdline_parse({"-x", "-y", "-port"}, nullptr, &opts);
  EXPECT_EQ(r.err, "ERROR: Unknown argument: -x\nERROR: Unknown argument: -y\nERROR: -port requires a port number\n\n\n" +
                       cmdline_short_usage());
}

TEST(Cmdline, VersionHelpAndDebugTexts) {
  StartupOptions opts;
  EXPECT_EQ(cmdline_parse({"--version"}, nullptr, &opts).out, "Zorbit REST Core v2026-10-16\n");
  CmdlineResult help = cmdline_parse({"-h"}, nullptr, &opts);
  EXPECT_EQ(help.out, cmdline_long_usage());
  EXPECT_NE(help.out.find("  --upgrade-zbv2    Upgrade only ZBv2 (.bin) coins and exit\n"), std::string::npos);
  EXPECT_NE(help.out.find("(default: 8080)"), std::string::npos);
  EXPECT_EQ(cmdline_short_usage().find("--upgrade-zbv1"), std::string::npos);
  EXPECT_EQ(cmdline_parse({"-debug"}, nullptr, &opts).out, "Debug mode: ENABLED\n");
}

TEST(Cmdline, DataDirGainsClientDataAndAcceptsEitherSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/zorbit", "/srv/zorbit/Client_Data"},
      {"/srv/zorbit/", "/srv/zorbit/Client_Data"},
      {"\\srv\\zorbit\\", "/srv/zorbit/Client_Data"},
      {"/", "/Client_Data"},
  };
  for (const auto& [given, root] : cases) {
    StartupOptions opts;
    ASSERT_EQ(static_cast<int>(cmdline_parse({"-data-dir", given}, nullptr, &opts).action), static_cast<int>(CmdlineAction::RUN));
    EXPECT_EQ(opts.data_root, root) << given;
  }
  StartupOptions rel;
  cmdline_parse({"--data-dir", "relative/dir"}, nullptr, &rel);
  EXPECT_EQ(rel.data_root.front(), '/');
  EXPECT_NE(rel.data_root.find("/relative/dir/Client_Data"), std::string::npos);
}

TEST(Cmdline, UpgradeOptionsSetTheirMode) {
  const std::pair<const char*, int> cases[] = {
      {"-upgrade-coins", UPGRADE_ALL}, {"--upgrade-coins", UPGRADE_ALL}, {"--upgrade-zbv1", UPGRADE_ZBV1}, {"--upgrade-zbv2", UPGRADE_ZBV2}};
  for (const auto& [arg, mode] : cases) {
    StartupOptions opts;
    cmdline_parse({arg}, nullptr, &opts);
    EXPECT_EQ(opts.upgrade_mode, mode) << arg;
  }
}

}  // namespace

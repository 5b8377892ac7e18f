// Logging and the command line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/plat_log.h"
#include "platform/plat_process.h"
#include "platform/plat_regex.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct level_guard {
  int saved = plat_log_get_level();
  ~level_guard() { plat_log_set_level(saved); }
};

TEST(PlatLog, LineFormatLevelFilterAndHexDump) {
  level_guard g;
  plat_log_set_level(5);
  int formatted = 0;
  auto count = [&] { return ++formatted; };
  const uint8_t frame[] = {0x01, 0x03, 0x00, 0xAF};
  std::vector<uint8_t> big(1000, 0x5A);
  CaptureStderr();
  PLAT_LOG(5, "value %d\n", 42);
  PLAT_LOG(6, "hidden %d", count());
  PLAT_LOG_BUF(5, "NORTH TCP <-", frame, sizeof(frame));
  PLAT_LOG_BUF(5, "SOUTH RTU ->", big.data(), big.size());
  PLAT_LOG_BUF(6, "hidden", frame, sizeof(frame));
  const std::string out = GetCapturedStderr();
  EXPECT_EQ(formatted, 0) << "a line above the level was formatted";
  EXPECT_EQ(out.find("hidden"), std::string::npos);

  auto line = plat_regex_create(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} 5 plat_misc_test:\d+ TestBody: value 42\n)");
  ASSERT_TRUE(line);
  EXPECT_TRUE(plat_regex_match(line.get(), out.c_str())) << out;
  const size_t dump = out.find('\n') + 1, second = out.find('\n', dump) + 1;
  EXPECT_TRUE(out.substr(dump, second - dump).ends_with("NORTH TCP <- 01 03 00 AF\n")) << out;
  EXPECT_TRUE(out.ends_with("5A 5A ... (1000 bytes)\n")) << out;
  EXPECT_LT(out.size() - second, 1000u);
}

TEST(PlatLog, CaptureKeepsThisThreadsLinesWithTheirSourceLines) {
  level_guard g;
  plat_log_set_level(5);
  std::vector<plat_log_record> kept;
  CaptureStderr();
  {
    plat_log_capture capture(4);
    PLAT_LOG(4, "  outside any line \n");
    {
      plat_log_source_line at(12);
      PLAT_LOG(3, "error at %d", 12);
      {
        plat_log_source_line inner(30);
        PLAT_LOG(4, "inner");
        plat_log_source_line none(0);  // keeps 30
        PLAT_LOG(4, "still inner");
      }
      PLAT_LOG(4, "back at 12");
      PLAT_LOG(5, "notice goes to stderr");
    }
    std::thread([] { PLAT_LOG(4, "other thread"); }).join();
    kept = capture.records();
  }
  PLAT_LOG(4, "after the capture");
  const std::string out = GetCapturedStderr();
  ASSERT_EQ(kept.size(), 5u) << out;
  const std::vector<std::pair<int, std::string>> expected = {
      {0, "outside any line"}, {12, "error at 12"}, {30, "inner"}, {30, "still inner"}, {12, "back at 12"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kept[i].source_line, expected[i].first) << i;
    EXPECT_EQ(kept[i].message, expected[i].second) << i;
  }
  EXPECT_EQ(kept[1].level, 3);
  for (const char *written : {"notice goes to stderr", "other thread", "after the capture"})
    EXPECT_NE(out.find(written), std::string::npos) << written;
  EXPECT_EQ(out.find("inner"), std::string::npos) << out;
}

// The journal line form is proven by the process tests; only a
// JOURNAL_STREAM naming our own stderr turns it on.
TEST(PlatLog, OnlyAJournalStreamNamingOurStderrCounts) {
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  const std::string ours = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  for (const auto &[value, expected] : {std::pair{ours, true}, {other, false}, {std::string("junk"), false}}) {
    setenv("JOURNAL_STREAM", value.c_str(), 1);
    EXPECT_EQ(plat_log_stderr_is_journal(), expected) << value;
  }
  unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(plat_log_stderr_is_journal());
}

// argv as the parser sees it.
int parse(std::vector<std::string> args, std::string *config) {
  args.insert(args.begin(), "trellis");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return plat_process_parse_cmdline_ex(static_cast<int>(args.size()), argv.data(), "trellis", "1.2.3", "today", 1,
                                       config, 0, 0);
}

// Exit codes of the real binary are proven by the process tests; here the
// edges they do not reach and what a refusal leaves alone.
TEST(PlatProcess, CommandLine) {
  level_guard g;
  std::string config = "stale";
  EXPECT_EQ(parse({}, &config), 0);
  EXPECT_EQ(config, "");
  ASSERT_EQ(parse({"-l", "7"}, &config), 0);
  CaptureStderr();
  for (std::vector<std::string> bad :
       {std::vector<std::string>{"-l", "8"}, {"-l", "x"}, {"stray"}, {"--check", "--stats"}, {"--check=1"}})
    EXPECT_EQ(parse(bad, &config), PLAT_CMDLINE_EXIT_USAGE) << bad[0];
  GetCapturedStderr();
  EXPECT_EQ(plat_log_get_level(), 7) << "a rejected level changed the level";
  EXPECT_EQ(parse({"--check", "-c", "x.acr"}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::check);
  EXPECT_FALSE(plat_process_log_level_given());
  EXPECT_EQ(parse({"--stats", "--stats"}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::stats);
  EXPECT_EQ(parse({}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::run);
}

}  // namespace

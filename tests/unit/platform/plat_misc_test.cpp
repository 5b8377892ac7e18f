// Logging, regular expressions, lists and the command line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/plat_list.h"
#include "platform/plat_log.h"
#include "platform/plat_process.h"
#include "platform/plat_regex.h"
#include "platform/plat_serial.h"

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

  plat_log_set_level(99);
  EXPECT_EQ(plat_log_get_level(), 7);
  plat_log_set_level(-3);
  EXPECT_EQ(plat_log_get_level(), 0);
  EXPECT_FALSE(plat_log_enabled(3));
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

TEST(PlatLog, JournalLinesCarryThePriorityInsteadOfTheTime) {
  level_guard g;
  plat_log_set_level(5);
  CaptureStderr();
  plat_log_set_journal(true);
  PLAT_LOG(4, "to the journal");
  plat_log_set_journal(false);
  const std::string out = GetCapturedStderr();
  EXPECT_TRUE(out.starts_with("<4>plat_misc_test:")) << out;
  EXPECT_TRUE(out.ends_with(" TestBody: to the journal\n")) << out;

  // Only a JOURNAL_STREAM naming our own stderr counts.
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

// The address patterns themselves are exercised by the address rule tests.
TEST(PlatRegex, AnchoredMatchFirstSubstringAndBadPatterns) {
  auto re = plat_regex_create("^(\\d{1,3}\\.){3}\\d{1,3}$");
  ASSERT_TRUE(re);
  EXPECT_TRUE(plat_regex_match(re.get(), "192.168.1.1"));
  for (const char *bad : {" 1.2.3.4", "1.2.3.4/24", ""}) EXPECT_FALSE(plat_regex_match(re.get(), bad)) << bad;
  EXPECT_FALSE(plat_regex_match(re.get(), nullptr));
  auto digits = plat_regex_create("\\d+");
  EXPECT_EQ(plat_regex_parse(digits.get(), "ab123cd456"), "123");
  EXPECT_FALSE(plat_regex_parse(digits.get(), "none"));
  EXPECT_EQ(plat_regex_parse(plat_regex_create("/\\d{1,2}$").get(), "10.0.0.0/8"), "/8");
  EXPECT_FALSE(plat_regex_create("(unclosed"));
}

TEST(PlatList, BoundedFifoWithSearchAndVisit) {
  auto list = plat_list_create<int>(3);
  int a = 1, b = 2, c = 3, d = 4;
  EXPECT_TRUE(plat_list_is_empty(list.get()));
  EXPECT_FALSE(plat_list_pop_front(list.get()));
  for (int *e : {&a, &b, &c}) EXPECT_TRUE(plat_list_push_back(list.get(), e));
  EXPECT_TRUE(plat_list_is_full(list.get()));
  EXPECT_EQ(plat_list_push_back(list.get(), &d), 0);

  int sum = 0, visits = 0;
  plat_list_traverse(
      list.get(), [](int *e, void *s, void *v) { *static_cast<int *>(s) += *e, ++*static_cast<int *>(v); }, &sum,
      &visits);
  EXPECT_EQ(sum, 6);
  EXPECT_EQ(visits, 3);

  int wanted = 2;
  auto equal = [](int *e, void *w, void *) { return *e == *static_cast<int *>(w); };
  EXPECT_EQ(plat_list_remove_if(list.get(), equal, &wanted, nullptr), &b);
  EXPECT_EQ(plat_list_remove_if(list.get(), equal, &wanted, nullptr), nullptr);
  EXPECT_EQ(plat_list_front(list.get()), &a);
  EXPECT_EQ(plat_list_pop_front(list.get()), &a);
  EXPECT_EQ(plat_list_pop_front(list.get()), &c);
  EXPECT_TRUE(plat_list_push_back(list.get(), &d));
  plat_list_clear(list.get());
  EXPECT_TRUE(plat_list_is_empty(list.get()));
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

// The process tests start the real binary with -c, -l, --serial-prefix and
// --tag-socket and check the exit codes; here what is refused and what a
// refusal leaves alone.
TEST(PlatProcess, CommandLine) {
  level_guard g;
  std::string config = "stale";
  EXPECT_EQ(parse({}, &config), 0);
  EXPECT_EQ(config, "");
  EXPECT_EQ(plat_serial_device_path(12), "/dev/ttyAP11");
  ASSERT_EQ(parse({"-l", "7"}, &config), 0);
  CaptureStderr();
  for (std::vector<std::string> bad : {std::vector<std::string>{"-x"}, {"-l", "8"}, {"-l", "x"}, {"-c"}, {"stray"}})
    EXPECT_EQ(parse(bad, &config), PLAT_CMDLINE_EXIT_USAGE) << bad[0];
  EXPECT_NE(GetCapturedStderr().find("usage: trellis"), std::string::npos);
  EXPECT_EQ(plat_log_get_level(), 7) << "a rejected level changed the level";
  ASSERT_EQ(parse({"-l", "7"}, &config), 0);
  EXPECT_TRUE(plat_process_log_level_given());
  EXPECT_EQ(parse({"--check", "-c", "x.acr"}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::check);
  EXPECT_FALSE(plat_process_log_level_given());
  EXPECT_EQ(parse({"--stats", "--stats"}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::stats);
  CaptureStderr();
  EXPECT_EQ(parse({"--check", "--stats"}, &config), PLAT_CMDLINE_EXIT_USAGE);
  EXPECT_EQ(parse({"--check=1"}, &config), PLAT_CMDLINE_EXIT_USAGE);
  GetCapturedStderr();
  EXPECT_EQ(parse({}, &config), 0);
  EXPECT_EQ(plat_process_get_mode(), plat_process_mode::run);
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-V"}, &config), PLAT_CMDLINE_EXIT_OK);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("1.2.3"), std::string::npos);
}

}  // namespace

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "DeviceManagerModule.h"
#include "common/util/DiagLog.h"
#include "common/util/DiagLogFile.h"
#include "common/util/HostIdentity.h"
#include "platform/winapi.h"
#include "test_hostidentity_agent.h"

namespace fs = std::filesystem;

namespace {

const int64_t kMaxSize = 20971520;

// Filler of exactly `bytes` bytes in whole lines of at most 100 bytes.
std::string Filler(int64_t bytes) {
  std::string text;
  for (int n = 0; static_cast<int64_t>(text.size()) < bytes; ++n) {
    const size_t left = static_cast<size_t>(bytes) - text.size();
    text += ("filler " + std::to_string(n) + " " + std::string(80, 'f')).substr(0, left - 1) + "\n";
  }
  return text;
}

size_t LineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

TEST(DiagLog, QualifiedNameKeepsClassAndFunction) {
  EXPECT_EQ(DiagQualifiedName("static CDiagLog& CDiagLog::Instance()"), "CDiagLog::Instance");
  EXPECT_EQ(DiagQualifiedName("CPF::slcMutex::slcMutex()"), "slcMutex::slcMutex");
  EXPECT_EQ(DiagQualifiedName("std::map<std::__cxx11::basic_string<char>, int> a::b::Cls::Get(int) const"), "Cls::Get");
  EXPECT_EQ(DiagQualifiedName("void {anonymous}::Helper(std::function<void(int)>)"), "Helper");
  EXPECT_EQ(DiagQualifiedName("void Box<T>::Put(T) [with T = int]"), "Box::Put");
  EXPECT_EQ(DiagQualifiedName("bool Cls::operator<(const Cls&) const"), "Cls::operator<");
  EXPECT_EQ(DiagQualifiedName("void Cls::operator()()"), "Cls::operator()");
  EXPECT_EQ(DiagQualifiedName("device_manage::ReSetDevice()::<lambda(int)>"), "device_manage::ReSetDevice");
}

TEST(DiagLog, RecordPrefixNamesSiteAndProcess) {
  CDiagLogRecord record(LOG_WARN, "src\\client\\DeviceOpt.cpp", "device_manage::LoadDevice", 42);
  record.Append("count %d of %s", 7, "x");
  std::smatch match;
  std::string text = record.Text();
  ASSERT_TRUE(std::regex_match(
      text, match,
      std::regex(R"( WARN\((-?\d+)-(\d+)\)<(\d+)>\[42 DeviceOpt\.cpp device_manage::LoadDevice\], count 7 of x)")))
      << text;
  EXPECT_EQ(std::stol(match[1]), static_cast<long>(static_cast<int32_t>(GetCurrentProcessId())));
  EXPECT_EQ(std::stoul(match[2]), static_cast<unsigned long>(GetCurrentThreadId()));

  // Split at the last backslash only, and not at a leading one.
  for (const char* file : {"plain.cpp", "\\lead.cpp", "dir/unix.cpp"})
    EXPECT_NE(CDiagLogRecord(0, file, "f", 1).Text().find("[1 " + std::string(file) + " f], "), std::string::npos);
  EXPECT_NE(CDiagLogRecord(2, "dir/unix.cpp", "f", 1).Text().find(" ERROR("), std::string::npos);
}

TEST(DiagLogFile, CutsTheOldestWholeLinesOnlyPastTheMaximum) {
  std::string agent = dmtest::LoadAgentMachine("diaglog-rotate", true);
  ASSERT_FALSE(agent.empty());
  const std::string body = " INFO(1-2)<3>[4 a.cpp f], message";
  const int64_t lineLength = 21 + 3 + static_cast<int64_t>(body.size()) + 1;  // stamp, "rot", body, newline

  for (int64_t over : {0, 1}) {
    const std::string host = agent + "/tpmlog/log_rot.txt";
    const std::string prefill = Filler(kMaxSize - lineLength + over);
    ASSERT_TRUE(dmtest::WriteTextFile(host, prefill));
    CDiagLogFile file("rot", dmtest::kAgentDir);
    EXPECT_EQ(file.Path(), "C:\\Agent\\tpmlog/log_rot.txt");
    ASSERT_TRUE(file.WriteLine(body));
    if (over == 0) {
      // Exactly at the maximum: left alone; the next line cuts it.
      EXPECT_EQ(file.Size(), kMaxSize);
      EXPECT_EQ(static_cast<int64_t>(fs::file_size(host)), kMaxSize);
      ASSERT_TRUE(file.WriteLine(body));
    }
    std::string now = dmtest::ReadTextFile(host);
    EXPECT_FALSE(fs::exists(host + ".temp"));
    EXPECT_EQ(file.Size(), static_cast<int64_t>(now.size()));
    EXPECT_LE(now.size(), 19922944u);
    EXPECT_GT(now.size(), 19922944u - 30000u);
    // The newest lines survive whole: the file starts where a filler line starts
    // and ends with the line just written.
    ASSERT_EQ(now.back(), '\n');
    EXPECT_EQ(now.compare(0, 7, "filler "), 0);
    EXPECT_EQ(now.compare(now.size() - body.size() - 1, body.size() + 1, body + "\n"), 0);
    size_t start = prefill.find(now.substr(0, 200));
    ASSERT_NE(start, std::string::npos);
    EXPECT_TRUE(start == 0 || prefill[start - 1] == '\n');
    EXPECT_EQ(LineCount(now), LineCount(prefill.substr(start)) + (over == 0 ? 2 : 1));
    fs::remove(host);
  }
}

TEST(DiagLog, WritesEnabledLevelsToTheNamedFile) {
  std::string agent = dmtest::LoadAgentMachine("diaglog-levels", true);
  ASSERT_FALSE(agent.empty());
  ASSERT_EQ(GetInstallDir(), dmtest::kAgentDir) << dmtest::kOwnProcess;
  // The agent's shared diagnostic level: errors only.
  ASSERT_TRUE(dmtest::WriteTextFile(agent + "/config/agent.json", R"({"settings": {"46": 2}})"));
  CDiagLog& log = CDiagLog::Instance();
  log.SetName("unit");
  FollowAgentDiagLevel();
  log.ForceThresholdRefresh();
  EXPECT_FALSE(log.IsLevelEnabled(LOG_WARN));

  DIAG_LOG(LOG_INFO, "info %d", 1);
  DIAG_LOG(LOG_WARN, "warn %d", 2);
  DIAG_LOG(LOG_ERROR, "error %s", "three");
  DIAG_LOG(7, "odd level");
  std::string unit = dmtest::ReadTextFile(agent + "/tpmlog/log_unit.txt");
  EXPECT_TRUE(std::regex_match(unit, std::regex("(" + std::string(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d, unit )") +
                                                R"((ERROR|XXXX)\(-?\d+-\d+\)<\d+>\[\d+ test_diaglog_lines\.cpp )"
                                                R"(DiagLog_WritesEnabledLevelsToTheNamedFile_Test::TestBody\], )"
                                                R"((error three|odd level)\n){2})")))
      << unit;

  // A new name takes the next line; the old file stays as it was.
  log.SetName("other");
  DIAG_LOG(LOG_ERROR, "to the other file");
  EXPECT_EQ(dmtest::ReadTextFile(agent + "/tpmlog/log_unit.txt"), unit);
  EXPECT_NE(dmtest::ReadTextFile(agent + "/tpmlog/log_other.txt").find("], to the other file\n"), std::string::npos);

  // Without the folder nothing is written and nothing is created.
  fs::remove_all(agent + "/tpmlog");
  DIAG_LOG(LOG_ERROR, "dropped");
  EXPECT_FALSE(fs::exists(agent + "/tpmlog"));
  log.SetName("device");
}

TEST(DiagLog, ConcurrentWritersKeepLinesWhole) {
  std::string agent = dmtest::LoadAgentMachine("diaglog-threads", true);
  ASSERT_FALSE(agent.empty());
  ASSERT_EQ(GetInstallDir(), dmtest::kAgentDir) << dmtest::kOwnProcess;
  CDiagLog::Instance().SetName("threads");
  ASSERT_TRUE(CDiagLog::Instance().IsLevelEnabled(LOG_ERROR)) << "every level is written until the module sets a level";
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) DIAG_LOG(LOG_ERROR, "writer %d line %d %s", t, i, std::string(100, 'w').c_str());
    });
  for (std::thread& writer : writers) writer.join();
  std::string text = dmtest::ReadTextFile(agent + "/tpmlog/log_threads.txt");
  EXPECT_EQ(LineCount(text), 800u);
  std::regex whole(R"([^\n]*\], writer \d line \d+ w{100}\n)");
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start))
    ASSERT_TRUE(std::regex_match(text.substr(start, end - start + 1), whole)) << text.substr(start, end - start + 1);
}

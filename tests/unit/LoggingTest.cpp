// WriteLog: the level filter, the file line, the window's slots, the broadcast.
#include <gtest/gtest.h>

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "dtools.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

class LoggingTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    CreateEngine();
    Values.Session = "abc";
  }
  size_t FilledSlots() const {
    size_t n = 0;
    for (const auto& s : Values.LogSlot) n += !s.empty();
    return n;
  }
};

TEST_F(LoggingTest, MessagesUpToTheConfiguredLevelAreWritten) {
  Values.LogLevel = 20;
  const struct {
    uint8_t level;
    bool written;
  } cases[] = {{10, true}, {20, true}, {21, false}, {30, false}, {40, false}};
  for (const auto& c : cases) {
    std::string msg = ">>>>>    level " + std::to_string(c.level);
    WriteLog(msg, c.level);
    auto log = Log();
    bool found = !log.empty() && log.back() == "abc " + msg;
    EXPECT_EQ(found, c.written) << int(c.level);
    EXPECT_EQ(Values.LastLogMessage == msg, c.written) << int(c.level);
  }
}

// The locale's date and time in the stamp as Windows-1252: a locale whose
// formats hold other characters (Korean here) gets "?" for each of them.
std::string StampAsWindows1252(const std::string& utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    if (c < 0x80) out += char(c);
    if (c >= 0xC0) out += '?';  // none of these Korean characters is in Windows-1252
  }
  return out;
}

std::string Strftime(const char* format, time_t now) {
  tm local;
  localtime_r(&now, &local);
  char buf[128];
  return std::string(buf, strftime(buf, sizeof buf, format, &local));
}

TEST_F(LoggingTest, TheLineIsDateTimeTwoBlanksSessionAndMessageWithCrLf) {
  // A locale of our own making: the machine need not have it.
  corvitest::TempDir locales;
  ASSERT_EQ(std::system(("localedef -i ko_KR -f UTF-8 " + locales.path() + "/ko_KR.UTF-8 2>/dev/null").c_str()), 0)
      << "localedef and the locale sources (Debian's locales) are needed";
  setenv("LOCPATH", locales.path().c_str(), 1);
  for (const char* locale : {"C", "ko_KR.UTF-8"}) {
    SCOPED_TRACE(locale);
    ASSERT_NE(setlocale(LC_ALL, locale), nullptr);
    std::remove(LogPath().c_str());
    Values.LogLevel = 20;
    // The engine's clock is its loop's.
    loop.wallStart = 1797852896;  // 2026-12-21
    loop.Advance(1000);
    const std::string stamp = StampAsWindows1252(Strftime("%x %X", loop.WallClock()));
    WriteLog(">>>>>    Update successfully done!", 10);
    std::string text = corvitest::ReadFile(LogPath());
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    std::string expectedTail = "  abc >>>>>    Update successfully done!\r\n";
    EXPECT_EQ(text.substr(text.size() - expectedTail.size()), expectedTail);
    // Date and time come first, separated by one blank.
    std::string head = text.substr(0, text.size() - expectedTail.size());
    EXPECT_EQ(head, stamp);
    EXPECT_EQ(head.find_first_of("?") != std::string::npos, std::string(locale) != "C") << head;
  }
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

TEST_F(LoggingTest, LevelZeroWritesNothingAndFillsNoSlot) {
  Values.LogLevel = 0;
  Values.LastLogMessage = "before";
  WriteLog("Debug    x", 10);
  EXPECT_FALSE(corvitest::FileExists(LogPath()));
  EXPECT_EQ(FilledSlots(), 0u);
  EXPECT_EQ(Values.LastLogMessage, "before");
}

TEST_F(LoggingTest, TwentyFiveMessagesFillTwentySlotsAndReachTheFile) {
  Values.LogLevel = 40;
  // Appended, not "m" + ...: GCC 12 warns falsely of an overlap there (-Wrestrict).
  auto message = [](int i) { return std::string("m").append(std::to_string(i)); };
  for (int i = 1; i <= 25; ++i) WriteLog(message(i), 10);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Values.LogSlot[i], message(i + 1));
  EXPECT_EQ(Values.LastLogMessage, "m25");
  EXPECT_EQ(Log().size(), 25u);
  EXPECT_EQ(Log().back(), "abc m25");
}

TEST_F(LoggingTest, TheFirstFreeSlotIsTaken) {
  Values.LogLevel = 40;
  Values.LogSlot[0] = "kept";
  Values.LogSlot[2] = "kept too";
  WriteLog("new", 10);
  EXPECT_EQ(Values.LogSlot[1], "new");
  EXPECT_EQ(Values.LogSlot[3], "");
}

TEST_F(LoggingTest, AnEmptyMessageIsALineEndingInTheSessionAndABlank) {
  Values.LogLevel = 20;
  WriteLog("", 10);
  std::string text = corvitest::ReadFile(LogPath());
  EXPECT_EQ(text.substr(text.size() - 8), "  abc \r\n");
  EXPECT_EQ(FilledSlots(), 0u);
}

TEST_F(LoggingTest, ADeletedLogFileIsCreatedAgain) {
  Values.LogLevel = 20;
  WriteLog("first", 10);
  ASSERT_EQ(unlink(LogPath().c_str()), 0);
  WriteLog("second", 10);
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "abc second");
}

TEST_F(LoggingTest, TheLogIsNamedAfterTheProgram) {
  corvilink::SetProgramPath(dir.path() + "/corvilinkd");
  Values.LogLevel = 20;
  WriteLog("daemon line", 10);
  EXPECT_EQ(corvitest::LogMessages(dir.path() + "/corvilinkd.log").back(), "abc daemon line");
  EXPECT_FALSE(corvitest::FileExists(LogPath()));
}

TEST_F(LoggingTest, BroadcastFollowsTheConfiguredLevelNotTheMessageLevel) {
  const struct {
    uint8_t configured;
    uint8_t message;
    bool sent;
  } cases[] = {{0, 40, true}, {20, 40, true}, {98, 10, true}, {99, 10, false}, {255, 10, false}};
  Values.Broadcast = true;
  for (const auto& c : cases) {
    loop.datagrams.clear();
    Values.LogLevel = c.configured;
    WriteLog("raw bytes", c.message);
    ASSERT_EQ(loop.datagrams.size(), c.sent ? 1u : 0u) << int(c.configured);
    if (c.sent) {
      EXPECT_EQ(loop.datagrams[0].addr, "255.255.255.255");
      EXPECT_EQ(loop.datagrams[0].port, 899);
      EXPECT_EQ(loop.datagrams[0].bytes, "raw bytes");
      EXPECT_TRUE(loop.datagrams[0].broadcast);
    }
  }
}

TEST_F(LoggingTest, NoBroadcastWhenSwitchedOff) {
  Values.Broadcast = false;
  Values.LogLevel = 40;
  WriteLog("x", 10);
  EXPECT_TRUE(loop.datagrams.empty());
}

TEST_F(LoggingTest, AnUnwritableLogRaisesAndLeavesSlotsAndLastMessage) {
  Values.LogLevel = 20;
  Values.Broadcast = true;
  // A link, a FIFO, a second name of another file or someone else's file in
  // the log's place is no place to write.
  const std::string elsewhere = dir.path() + "/owners-file", log = dir.path() + "/corvilink.log";
  corvitest::WriteFile(elsewhere, "mine\n");
  std::vector<std::pair<const char*, std::function<int()>>> places = {
      {"missing-dir/corvilink", [] { return 0; }},
      {"corvilink", [&] { return symlink(elsewhere.c_str(), log.c_str()); }},
      {"corvilink", [&] { return unlink(log.c_str()) != 0 ? -1 : mkfifo(log.c_str(), 0644); }},
      {"corvilink", [&] { return unlink(log.c_str()) != 0 ? -1 : link(elsewhere.c_str(), log.c_str()); }},
  };
  if (geteuid() == 0)  // only root can give a file away
    places.push_back({"corvilink", [&] {
                        if (unlink(log.c_str()) != 0) return -1;
                        corvitest::WriteFile(log, "theirs\n");
                        return chmod(log.c_str(), 0666) | chown(log.c_str(), 4321, 4321);
                      }});
  for (const auto& [program, plant] : places) {
    ASSERT_EQ(plant(), 0) << program;
    corvilink::SetProgramPath(dir.path() + "/" + program);
    Values.LastLogMessage = "old";
    EXPECT_THROW(WriteLog("lost", 10), std::exception);
    EXPECT_EQ(Values.LastLogMessage, "old");
    EXPECT_EQ(FilledSlots(), 0u);
    EXPECT_TRUE(loop.datagrams.empty());
  }
  EXPECT_EQ(corvitest::ReadFile(elsewhere), "mine\n");
}

TEST_F(LoggingTest, AFailedBroadcastRaisesAfterTheLineAndTheSlot) {
  Values.LogLevel = 20;
  Values.Broadcast = true;
  loop.datagramFails = true;
  EXPECT_THROW(WriteLog("sent?", 10), std::exception);
  EXPECT_EQ(Log().back(), "abc sent?");
  EXPECT_EQ(Values.LogSlot[0], "sent?");
}

}  // namespace

// Marker files, the daemon's look for the desktop program, the window search.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Common.h"
#include "Coordination.h"
#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "IniFile.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

struct Clock {
  int year, month, day, hour, minute, second;
};

std::tm Local(const Clock& c) {
  std::tm t{};
  t.tm_year = c.year - 1900;
  t.tm_mon = c.month - 1;
  t.tm_mday = c.day;
  t.tm_hour = c.hour;
  t.tm_min = c.minute;
  t.tm_sec = c.second;
  t.tm_isdst = -1;
  return t;
}

// Gives the file this local last-write time.
void Touch(const std::string& path, const Clock& c) {
  std::tm t = Local(c);
  const time_t when = mktime(&t);
  ASSERT_NE(when, time_t(-1));
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

time_t ModTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : time_t(-1);
}

TEST(DosDateTimeTest, PacksDateHighAndTimeLow) {
  const struct {
    Clock at;
    int32_t packed;
  } cases[] = {
      {{1980, 1, 1, 0, 0, 0}, 2162688},
      {{2026, 3, 14, 12, 0, 10}, 1550737413},
      {{2026, 3, 14, 12, 0, 11}, 1550737413},  // seconds halved, rounded down
      {{2026, 3, 14, 23, 59, 59}, 1550761853},
      {{2043, 12, 31, 23, 59, 59}, 2141175677},
      {{2044, 1, 1, 0, 0, 0}, -2145320960},  // the date reaches the sign bit
      {{2107, 12, 31, 23, 59, 59}, -6307971},
      {{1979, 12, 31, 23, 59, 59}, -1},
      {{2108, 1, 1, 0, 0, 0}, -1},
  };
  for (const auto& c : cases) {
    std::tm t = Local(c.at);
    t.tm_isdst = 0;
    EXPECT_EQ(DosDateTime(t), c.packed) << c.at.year << "-" << c.at.month << "-" << c.at.day << " "
                                        << c.at.hour << ":" << c.at.minute << ":" << c.at.second;
  }
}

class CoordinationTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=0123456789abcdef\r\n"
             "[LOGGING]\r\nLevel=40\r\n");
    plat::SetVersionBlock(&kDaemonVersion);
    corvilink::SetProgramPath(dir.path() + "/corvilinkd");
    CreateEngine();
    LoadConfig();
    Values.IsDaemon = true;
  }
  std::string DaemonLogPath() const { return dir.path() + "/corvilinkd.log"; }
  std::string DaemonMarker() const { return dir.path() + "/CorvilinkD.run"; }
  std::string DesktopMarker() const { return dir.path() + "/Corvilink.run"; }
  // The messages logged from now on, without the session tag.
  void Mark() { seen = corvitest::LogMessages(DaemonLogPath()).size(); }
  std::vector<std::string> NewLog() const {
    std::vector<std::string> out;
    auto all = corvitest::LogMessages(DaemonLogPath());
    for (size_t i = seen; i < all.size(); ++i) out.push_back(all[i].substr(Values.Session.size() + 1));
    return out;
  }
  void MakeMarker(const std::string& path) { corvitest::WriteFile(path, "[ACCOUNT]\r\nrun=1\r\n"); }

  size_t seen = 0;
};

TEST_F(CoordinationTest, MarkerTimesAcrossAMinuteAnHourAndADate) {
  const struct {
    Clock first, second;
    int32_t firstPacked, secondPacked;
    bool running;
  } cases[] = {
      {{2026, 3, 14, 12, 0, 10}, {2026, 3, 14, 12, 0, 50}, 1550737413, 1550737433, true},   // 20
      {{2026, 3, 14, 12, 0, 0}, {2026, 3, 14, 12, 0, 58}, 1550737408, 1550737437, true},    // 29
      {{2026, 3, 14, 12, 0, 4}, {2026, 3, 14, 12, 1, 0}, 1550737410, 1550737440, false},    // 30
      {{2026, 3, 14, 12, 0, 50}, {2026, 3, 14, 12, 1, 5}, 1550737433, 1550737442, true},    // 9
      {{2026, 3, 14, 12, 0, 5}, {2026, 3, 14, 12, 1, 5}, 1550737410, 1550737442, false},    // 32
      {{2026, 3, 14, 12, 0, 40}, {2026, 3, 14, 12, 1, 30}, 1550737428, 1550737455, true},   // 27
      {{2026, 3, 14, 12, 59, 55}, {2026, 3, 14, 13, 0, 5}, 1550739323, 1550739458, false},  // 135
      {{2026, 3, 14, 23, 59, 55}, {2026, 3, 15, 0, 0, 5}, 1550761851, 1550778370, false},
      {{2026, 3, 14, 12, 0, 10}, {2026, 3, 14, 12, 0, 10}, 1550737413, 1550737413, true},   // 0
  };
  for (const auto& c : cases) {
    // Either program may have written last.
    for (bool daemonFirst : {true, false}) {
      const Clock& a = daemonFirst ? c.first : c.second;
      const Clock& b = daemonFirst ? c.second : c.first;
      const int32_t aPacked = daemonFirst ? c.firstPacked : c.secondPacked;
      const int32_t bPacked = daemonFirst ? c.secondPacked : c.firstPacked;
      MakeMarker(DaemonMarker());
      MakeMarker(DesktopMarker());
      Touch(DaemonMarker(), a);
      Touch(DesktopMarker(), b);
      EXPECT_EQ(MarkerTime(DaemonMarker()), aPacked);
      EXPECT_EQ(MarkerTime(DesktopMarker()), bPacked);

      Values.WindowsClientRunning = !c.running;
      Mark();
      engine->TimerProcListTimer();
      const std::string label = std::to_string(aPacked) + " " + std::to_string(bPacked);
      EXPECT_EQ(Values.WindowsClientRunning, c.running) << label;
      const std::vector<std::string> expected = {
          "Debug    ..... ProcList ",
          "Debug    ..... CorvilinkRun [" + std::to_string(bPacked) + "]",
          "Debug    ..... CorvilinkDRun [" + std::to_string(aPacked) + "]",
      };
      EXPECT_EQ(NewLog(), expected) << label;
    }
  }
}

TEST_F(CoordinationTest, AMissingMarkerDecidesNotRunningWithoutMarkerLines) {
  const struct {
    const char* name;
    bool daemonMarker, desktopMarker;
  } cases[] = {
      {"only the daemon's", true, false},
      {"only the desktop program's", false, true},
      {"neither", false, false},
  };
  for (const auto& c : cases) {
    ::unlink(DaemonMarker().c_str());
    ::unlink(DesktopMarker().c_str());
    if (c.daemonMarker) MakeMarker(DaemonMarker());
    if (c.desktopMarker) MakeMarker(DesktopMarker());
    Values.WindowsClientRunning = true;
    Mark();
    engine->TimerProcListTimer();
    EXPECT_FALSE(Values.WindowsClientRunning) << c.name;
    EXPECT_EQ(NewLog(), std::vector<std::string>{"Debug    ..... ProcList "}) << c.name;
  }
}

TEST_F(CoordinationTest, AMarkerThatIsADirectoryCountsAsMissing) {
  ASSERT_EQ(::mkdir(DesktopMarker().c_str(), 0755), 0);
  MakeMarker(DaemonMarker());
  EXPECT_EQ(MarkerTime(DesktopMarker()), -1);
  EXPECT_EQ(MarkerTime(dir.path() + "/nothing.run"), -1);
  Mark();
  engine->TimerProcListTimer();
  EXPECT_FALSE(Values.WindowsClientRunning);
  EXPECT_EQ(NewLog().size(), 1u);
}

TEST_F(CoordinationTest, AFoundWindowSetsTheFlagAndHastensTheUpdateTickWithoutMarkerLines) {
  // Markers far apart: only the window can make the flag true.
  MakeMarker(DaemonMarker());
  MakeMarker(DesktopMarker());
  Touch(DaemonMarker(), {2026, 3, 14, 12, 0, 0});
  Touch(DesktopMarker(), {2026, 3, 1, 12, 0, 0});
  loop.windows = {{"Terminal", false}, {"Corvilink-Poster GUI 4.6", false}};
  engine->TimerSetIP.SetInterval(30000);
  Mark();
  engine->TimerProcListTimer();
  EXPECT_TRUE(Values.WindowsClientRunning);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 10000u);
  EXPECT_EQ(engine->TimerProcList.Interval(), 15000u);
  EXPECT_EQ(NewLog(), std::vector<std::string>{"Debug    ..... ProcList "});

  // The window is gone: the markers decide again.
  loop.windows.clear();
  Mark();
  engine->TimerProcListTimer();
  EXPECT_FALSE(Values.WindowsClientRunning);
  EXPECT_EQ(NewLog().size(), 3u);
}

TEST_F(CoordinationTest, TheDesktopProgramDoesNotLook) {
  Values.IsDaemon = false;
  Values.WindowsClientRunning = true;
  loop.windows = {{"Corvilink-Poster GUI 4.6", false}};
  MakeMarker(DaemonMarker());
  MakeMarker(DesktopMarker());
  engine->TimerSetIP.SetInterval(30000);
  Mark();
  engine->TimerProcListTimer();
  EXPECT_FALSE(Values.WindowsClientRunning);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 30000u);
  EXPECT_EQ(engine->TimerProcList.Interval(), 15000u);
  EXPECT_EQ(NewLog(), std::vector<std::string>{"Debug    ..... ProcList "});
}

TEST_F(CoordinationTest, TheDaemonDecidesOneSecondAfterItsStartThenEveryFifteen) {
  loop.windows = {{"Corvilink-Poster GUI 4.6", false}};
  engine->StartEngine("D");
  const uint64_t started = loop.Now();
  loop.Advance(999);
  EXPECT_FALSE(Values.WindowsClientRunning);
  loop.Advance(1);
  EXPECT_TRUE(Values.WindowsClientRunning);
  // Found: the update tick comes 10 s after the decision instead of at 5 s.
  EXPECT_EQ(engine->TimerSetIP.Interval(), 10000u);
  loop.windows.clear();
  loop.Advance(14999);
  EXPECT_TRUE(Values.WindowsClientRunning);
  loop.Advance(1);
  EXPECT_FALSE(Values.WindowsClientRunning);
  EXPECT_EQ(loop.Now() - started, 16000u);
  // Nothing went to the update server while the flag was up.
  EXPECT_TRUE(loop.Streams().empty());
}

class WindowSearchTest : public CoordinationTest {
protected:
  bool Find(const std::string& text, std::vector<plat::TopWindow> windows) {
    loop.windows = std::move(windows);
    return FindWindowByTitle(loop, text);
  }
};

TEST_F(WindowSearchTest, AnUpperCasedSubstringOfAnyTitle) {
  const struct {
    const char* title;
    bool found;
  } cases[] = {
      {"Corvilink-Poster GUI 4.6", true},
      {"corvilink-poster gui 4.6", true},
      {"Editor - notes about CORVILINK-poster usage", true},
      {"Corvilink-Poster ", true},
      {"Corvilink-Poster", false},  // no trailing blank
      {"Corvilink-Poster-Daemon 4.6", false},
      {"Corvilink_Poster GUI", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Find("Corvilink-Poster ", {{c.title, false}}), c.found) << c.title;
}

TEST_F(WindowSearchTest, OnlyAToZAreUpperCased) {
  // 0xE4 and 0xC4 are a-umlaut and A-umlaut in Windows-1252.
  EXPECT_TRUE(Find("gr\xE4n", {{"GR\xE4N", false}}));
  EXPECT_FALSE(Find("gr\xE4n", {{"GR\xC4N", false}}));
  EXPECT_FALSE(Find("GR\xC4N", {{"gr\xE4n", false}}));
}

TEST_F(WindowSearchTest, TooltipsUntitledWindowsAndAnEmptyTextMatchNothing) {
  EXPECT_FALSE(Find("Corvilink-Poster ", {{"Corvilink-Poster GUI 4.6", true}}));
  EXPECT_TRUE(Find("Corvilink-Poster ", {{"Corvilink-Poster GUI 4.6", true}, {"Corvilink-Poster GUI 4.6", false}}));
  EXPECT_FALSE(Find("Corvilink-Poster ", {{"", false}, {std::string("\0Corvilink-Poster GUI", 21), false}}));
  EXPECT_FALSE(Find("", {{"anything", false}, {"", false}}));
  // A desktop program without a version block is titled with one blank.
  EXPECT_FALSE(Find("Corvilink-Poster ", {{" ", false}}));
}

TEST_F(WindowSearchTest, TitlesAreReadUpTo255Bytes) {
  const std::string text = "Corvilink-Poster ";
  const std::string endsAt255 = std::string(255 - text.size(), 'x') + text;
  const std::string endsAt256 = std::string(256 - text.size(), 'x') + text;
  EXPECT_TRUE(Find(text, {{endsAt255, false}}));
  EXPECT_FALSE(Find(text, {{endsAt256, false}}));
}

TEST_F(WindowSearchTest, AtMost1001WindowsAreExamined) {
  for (size_t ahead : {size_t(0), size_t(999), size_t(1000), size_t(1001), size_t(1500)}) {
    std::vector<plat::TopWindow> windows(ahead, plat::TopWindow{"Other window", false});
    windows.push_back({"Corvilink-Poster GUI 4.6", false});
    EXPECT_EQ(Find("Corvilink-Poster ", windows), ahead <= 1000) << ahead << " windows ahead";
  }
  // Beyond the limit the markers decide.
  std::vector<plat::TopWindow> many(1001, plat::TopWindow{"Other window", false});
  many.push_back({"Corvilink-Poster GUI 4.6", false});
  loop.windows = many;
  MakeMarker(DaemonMarker());
  MakeMarker(DesktopMarker());
  Touch(DaemonMarker(), {2026, 3, 14, 12, 0, 10});
  Touch(DesktopMarker(), {2026, 3, 14, 12, 0, 20});
  Mark();
  engine->TimerProcListTimer();
  EXPECT_TRUE(Values.WindowsClientRunning);
  EXPECT_EQ(NewLog().size(), 3u);
}

class MarkerWriteTest : public CoordinationTest {};

TEST_F(MarkerWriteTest, EachProgramWritesItsOwnMarkerAtEveryTick) {
  const struct {
    bool daemon;
    const char* written;
    const char* untouched;
  } cases[] = {{true, "/CorvilinkD.run", "/Corvilink.run"}, {false, "/Corvilink.run", "/CorvilinkD.run"}};
  for (const auto& c : cases) {
    ::unlink(DaemonMarker().c_str());
    ::unlink(DesktopMarker().c_str());
    Values.IsDaemon = c.daemon;
    Mark();
    engine->TimerRunTimer();
    const std::string path = dir.path() + c.written;
    EXPECT_EQ(corvitest::ReadFile(path), "[ACCOUNT]\r\nrun=1\r\n") << c.written;
    EXPECT_TRUE(plat::IniFile(path).ReadBool("ACCOUNT", "run", false));
    EXPECT_FALSE(corvitest::FileExists(dir.path() + c.untouched));
    EXPECT_TRUE(NewLog().empty()) << "no log line";
  }
}

TEST_F(MarkerWriteTest, TheSameContentStillGetsTheTicksTime) {
  engine->TimerRunTimer();
  Touch(DaemonMarker(), {2020, 6, 1, 8, 0, 0});
  const std::string before = corvitest::ReadFile(DaemonMarker());
  const time_t old = ModTime(DaemonMarker());
  engine->TimerRunTimer();
  EXPECT_EQ(corvitest::ReadFile(DaemonMarker()), before);
  EXPECT_GT(ModTime(DaemonMarker()), old);
  EXPECT_EQ(ModTime(DaemonMarker()), loop.WallClock());
}

TEST_F(MarkerWriteTest, TheMarkerTimerRunsEveryTenSecondsAfterTheStart) {
  engine->StartEngine("D");
  // Switched on before the start's 2 ms pause.
  loop.Advance(9997);
  EXPECT_FALSE(corvitest::FileExists(DaemonMarker()));
  loop.Advance(1);
  EXPECT_TRUE(corvitest::FileExists(DaemonMarker()));
  Touch(DaemonMarker(), {2020, 6, 1, 8, 0, 0});
  loop.Advance(10000);
  EXPECT_EQ(ModTime(DaemonMarker()), loop.WallClock());
}

// The markers take the loop's time, so an hour's end can be run through:
// ten seconds apart across it are 135 packed units, and not running.
TEST_F(MarkerWriteTest, MarkersTenSecondsApartAcrossAnHourDoNotCount) {
  std::tm t = Local({2026, 3, 14, 12, 59, 50});
  loop.wallStart = mktime(&t);
  MakeMarker(DesktopMarker());
  Touch(DesktopMarker(), {2026, 3, 14, 12, 59, 55});
  struct {
    uint64_t after;
    int32_t daemonPacked;
    bool running;
  } steps[] = {{0, 1550739321, true}, {15000, 1550739458, false}};
  for (const auto& s : steps) {
    loop.Advance(s.after);
    engine->TimerRunTimer();
    EXPECT_EQ(MarkerTime(DaemonMarker()), s.daemonPacked);
    engine->TimerProcListTimer();
    EXPECT_EQ(Values.WindowsClientRunning, s.running) << s.after;
  }
}

TEST_F(MarkerWriteTest, AnUnwritableMarkerGoesToTheProgramsHandlerEveryTick) {
  const std::string elsewhere = DaemonMarker() + ".owners";
  corvitest::WriteFile(elsewhere, "mine\n");
  Touch(elsewhere, {2020, 6, 1, 8, 0, 0});
  const time_t old = ModTime(elsewhere);
  std::vector<std::string> caught;
  auto saved = ApplicationHandleException;
  ApplicationHandleException = [&caught](const std::exception& e) { caught.push_back(e.what()); };
  ASSERT_EQ(::mkdir(DaemonMarker().c_str(), 0755), 0);  // a directory cannot be written as a file
  engine->StartEngine("D");
  loop.Advance(20000);
  // Nor is a link someone planted followed.
  ASSERT_EQ(::rmdir(DaemonMarker().c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), DaemonMarker().c_str()), 0);
  loop.Advance(20000);
  ApplicationHandleException = saved;
  const std::string message = "In " + DaemonMarker() + " kann nicht geschrieben werden";
  EXPECT_EQ(caught, std::vector<std::string>(4, message));
  EXPECT_TRUE(engine->TimerRun.Enabled());
  EXPECT_EQ(corvitest::ReadFile(elsewhere), "mine\n");
  EXPECT_EQ(ModTime(elsewhere), old) << "its time was set through the link";
}

TEST_F(CoordinationTest, TheBroadcastListenerLogsWhatItReceivesAtLevel10) {
  Values.LogLevel = 10;
  Mark();
  engine->UDPBroadCastServerUDPRead("Corvilink;abc;hello");
  EXPECT_EQ(NewLog(), std::vector<std::string>{"Corvilink;abc;hello"});
  EXPECT_FALSE(engine->UDPBroadCastServer.Active);
}

}  // namespace

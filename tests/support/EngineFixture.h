// A fresh program directory, fresh engine values and an engine object on the
// simulated loop, for every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "SimLoop.h"
#include "WSocket.h"

namespace corvitest {

// A temporary directory removed with its contents at the end.
class TempDir {
public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// The messages of a log file: each line without date, time and the two blanks.
std::vector<std::string> LogMessages(const std::string& path);

// The level of every message the log file gets, which the file itself
// doesn't keep: a look-up of a message names its level, and a message written
// at another level fails the test.
class LogLevels {
public:
  LogLevels();
  ~LogLevels();
  LogLevels(const LogLevels&) = delete;
  LogLevels& operator=(const LogLevels&) = delete;
  void Expect(const std::string& message, uint8_t level) const;

private:
  std::vector<std::pair<std::string, uint8_t>> written_;
};

// The sockets' connect time-out, another one for as long as this lives.
class ConnectTimeout {
public:
  explicit ConnectTimeout(std::chrono::milliseconds ms) : before_(plat::SetConnectTimeout(ms)) {}
  ~ConnectTimeout() { plat::SetConnectTimeout(before_); }
  ConnectTimeout(const ConnectTimeout&) = delete;
  ConnectTimeout& operator=(const ConnectTimeout&) = delete;

private:
  std::chrono::milliseconds before_;
};

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Writes corvilink.ini beside the simulated program.
  void WriteIni(const std::string& text);
  // Creates the engine object (the desktop program's version block unless told).
  void CreateEngine();
  std::string LogPath() const { return dir.path() + "/corvilink.log"; }
  std::vector<std::string> Log() const { return LogMessages(LogPath()); }
  // The account kim.dyn.example with the debug level, an engine, started.
  void StartWithAccount();
  // How often the message stands in the log (behind the session tag); it
  // must have been written at that level.
  size_t Count(const std::string& message, uint8_t level) const;
  bool Logged(const std::string& message, uint8_t level) const { return Count(message, level) > 0; }

  LogLevels levels;
  TempDir dir;
  sim::SimLoop loop;
  std::unique_ptr<corvilink::TCorvilinkC> engine;
};

}  // namespace corvitest

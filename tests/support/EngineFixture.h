// A fresh program directory, fresh engine values and an engine object on the
// simulated loop, for every test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "SimLoop.h"

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
  // How often the message stands in the log (behind the session tag).
  size_t Count(const std::string& message) const;
  bool Logged(const std::string& message) const { return Count(message) > 0; }

  TempDir dir;
  sim::SimLoop loop;
  std::unique_ptr<corvilink::TCorvilinkC> engine;
};

}  // namespace corvitest

#include "EngineFixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

namespace corvitest {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "corvitest.XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = ReadFile(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // date, one blank, time, two blanks, the rest
    size_t sep = line.find("  ");
    lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
    start = end + 2;
  }
  return lines;
}

void EngineTest::SetUp() {
  corvilink::Values = {};
  corvilink::SetProgramPath(dir.path() + "/corvilink");
  plat::SetVersionBlock(&corvilink::kDesktopVersion);
  corvilink::RandSeed = 12345;
  loop.hostName = "simbox";
  loop.hostAddresses["simbox"] = {"10.1.2.3", "192.168.7.8"};
}

void EngineTest::TearDown() {
  engine.reset();
  corvilink::SetProgramPath("");
  plat::SetVersionBlock(nullptr);
  corvilink::Values = {};
}

void EngineTest::WriteIni(const std::string& text) { WriteFile(dir.path() + "/corvilink.ini", text); }

void EngineTest::StartWithAccount() {
  WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=abcdef\r\n[LOGGING]\r\nLevel=40\r\n");
  CreateEngine();
  engine->StartEngine("W");
}

LogLevels::LogLevels() {
  corvilink::LogWritten = [this](const std::string& message, uint8_t level) {
    written_.emplace_back(message, level);
  };
}

// What holds for every message of its kind, whatever the test looked up:
// traces at 40, the banner at 10, an alert at 20 (the place) or 30 (the error's text).
LogLevels::~LogLevels() {
  corvilink::LogWritten = nullptr;
  for (const auto& [m, l] : written_) {
    const bool banner = m == ">>>>>" || (m.rfind(">>>>>  ", 0) == 0 && m.rfind(">>>>>   ", 0) != 0);
    if ((m.rfind("Debug    ", 0) == 0 && l != 40) || (banner && l != 10) ||
        (m.rfind("Alert!   ", 0) == 0 && l != 20 && l != 30))
      ADD_FAILURE() << "\"" << m << "\" was written at level " << int(l);
  }
}

void LogLevels::Expect(const std::string& message, uint8_t level) const {
  for (const auto& [m, l] : written_)
    if (m == message && l != level)
      ADD_FAILURE() << "\"" << message << "\" was written at level " << int(l) << ", not " << int(level);
}

size_t EngineTest::Count(const std::string& message, uint8_t level) const {
  levels.Expect(message, level);
  auto log = Log();
  return size_t(std::count(log.begin(), log.end(), corvilink::Values.Session + " " + message));
}

void EngineTest::CreateEngine() { engine = std::make_unique<corvilink::TCorvilinkC>(loop); }

}  // namespace corvitest

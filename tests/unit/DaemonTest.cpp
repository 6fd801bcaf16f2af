// The daemon's switches, its unit file, and installing and removing it in a
// unit directory of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "ServiceUnit.h"

namespace {

using corvitest::ReadFile;
using corvitest::TempDir;

TEST(DaemonSwitchTest, SlashOrDashAndTheWordInAnyCaseAnywhere) {
  const struct {
    std::vector<std::string> args;
    bool install;
  } cases[] = {
      {{"/install"}, true},
      {{"-INSTALL"}, true},
      {{"/Install"}, true},
      {{"x", "y", "-iNsTaLl"}, true},
      {{"install"}, false},
      {{"--install"}, false},
      {{"/installs"}, false},
      {{"/instal"}, false},
      {{"/UNINSTALL"}, false},
      {{"/"}, false},
      {{"\\install"}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(plat::FindCmdLineSwitch(c.args, "INSTALL"), c.install) << shown;
  }
  EXPECT_TRUE(plat::FindCmdLineSwitch({"/INSTALL", "-silent"}, "SILENT"));
  EXPECT_TRUE(plat::FindCmdLineSwitch({"/install", "/Uninstall"}, "UNINSTALL"));
}

TEST(DaemonSystemErrorTest, CodeLineThenTheSystemsText) {
  EXPECT_EQ(std::string(plat::SystemError(EEXIST).what()),
            "Systemfehler.  Code: 17.\r\n" + std::string(std::strerror(EEXIST)));
  EXPECT_EQ(plat::SystemError(EACCES).Code(), EACCES);
  EXPECT_EQ(std::string(plat::SystemError(0).what()), "Ein Aufruf einer Betriebssystemfunktion ist fehlgeschlagen");
}

TEST(DaemonUnitFileTest, PathsStayOneWordAndHomeDirectoriesStayReadable) {
  const struct {
    const char* binary;
    const char* execStart;
    const char* readWrite;
    const char* protectHome;
  } cases[] = {
      {"/opt/Corvi Link/corvilinkd", "\"/opt/Corvi Link/corvilinkd\"", "\"/opt/Corvi Link\"", "yes"},
      {"/opt/100%/corvilinkd", "/opt/100%%/corvilinkd", "/opt/100%%", "yes"},
      {"/opt/a\"b\\c/corvilinkd", "/opt/a\\\"b\\\\c/corvilinkd", "/opt/a\\\"b\\\\c", "yes"},
      {"/opt/tab\there/corvilinkd", "/opt/tab\\x09here/corvilinkd", "/opt/tab\\x09here", "yes"},
      {"/home/kim/corvilink/corvilinkd", "/home/kim/corvilink/corvilinkd", "/home/kim/corvilink", "read-only"},
      {"/root/corvilinkd", "/root/corvilinkd", "/root", "read-only"},
      {"/homestead/corvilinkd", "/homestead/corvilinkd", "/homestead", "yes"},
      {"/corvilinkd", "/corvilinkd", "/", "yes"},
  };
  for (const auto& c : cases) {
    const std::string text = plat::UnitFileText({"CorvilinkDaemon", "Corvilink Daemon", c.binary});
    EXPECT_NE(text.find("\nExecStart=" + std::string(c.execStart) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nReadWritePaths=" + std::string(c.readWrite) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nProtectHome=" + std::string(c.protectHome) + "\n"), std::string::npos) << text;
  }
}

class DaemonInstallTest : public ::testing::Test {
protected:
  std::string Unit() const { return dir.path() + "/CorvilinkDaemon.service"; }
  std::string Link() const { return dir.path() + "/multi-user.target.wants/CorvilinkDaemon.service"; }
  // out, err
  std::pair<std::string, std::string> Run(bool install, bool silent, const plat::ServiceDefinition& svc) {
    std::ostringstream out, err;
    plat::RegisterServices(install, silent, {svc}, dir.path(), out, err);
    return {out.str(), err.str()};
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
      names.push_back(e.path().string().substr(dir.path().size()));
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
  const plat::ServiceDefinition daemon{"CorvilinkDaemon", "Corvilink Daemon", "/opt/corvilink/corvilinkd"};
};

TEST_F(DaemonInstallTest, InstallWritesTheUnitAndEnablesIt) {
  auto [out, err] = Run(true, false, daemon);
  EXPECT_EQ(out, "Service erfolgreich installiert\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(ReadFile(Unit()), plat::UnitFileText(daemon));
  struct stat st;
  ASSERT_EQ(stat(Unit().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  char target[4096] = {};
  ASSERT_GT(readlink(Link().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), Unit());
  EXPECT_EQ(Entries(), (std::vector<std::string>{"/CorvilinkDaemon.service", "/multi-user.target.wants",
                                                 "/multi-user.target.wants/CorvilinkDaemon.service"}));
}

TEST_F(DaemonInstallTest, AnExistingUnitIsAFailureAndStaysAsItWas) {
  corvitest::WriteFile(Unit(), "[Unit]\nDescription=mine\n");
  for (bool silent : {false, true}) {
    auto [out, err] = Run(true, silent, daemon);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Service \"Corvilink Daemon\" konnte nicht installiert werden; Fehler: \"Systemfehler.  Code: 17.\r\n" +
                       std::string(std::strerror(EEXIST)) + "\"\n");
  }
  EXPECT_EQ(ReadFile(Unit()), "[Unit]\nDescription=mine\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"/CorvilinkDaemon.service"}) << "no temporary file left";
}

TEST_F(DaemonInstallTest, SilentSuppressesOnlySuccess) {
  EXPECT_EQ(Run(true, true, daemon), std::make_pair(std::string(), std::string()));
  EXPECT_TRUE(corvitest::FileExists(Unit()));
  EXPECT_EQ(Run(false, true, daemon), std::make_pair(std::string(), std::string()));
  EXPECT_FALSE(corvitest::FileExists(Unit()));
  auto [out, err] = Run(false, true, daemon);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "Service \"Corvilink Daemon\" konnte nicht deinstalliert werden; Fehler: \"Systemfehler.  Code: 2.\r\n" +
                     std::string(std::strerror(ENOENT)) + "\"\n");
}

TEST_F(DaemonInstallTest, UninstallRemovesUnitAndLink) {
  Run(true, false, daemon);
  auto [out, err] = Run(false, false, daemon);
  EXPECT_EQ(out, "Service erfolgreich deinstalliert\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(Entries(), std::vector<std::string>{"/multi-user.target.wants"});
}

TEST_F(DaemonInstallTest, UninstallOfADisabledUnitAndInstallOverAStaleLink) {
  Run(true, false, daemon);
  ASSERT_EQ(unlink(Link().c_str()), 0);
  EXPECT_EQ(Run(false, false, daemon).first, "Service erfolgreich deinstalliert\n");

  ASSERT_EQ(symlink("/nowhere/CorvilinkDaemon.service", Link().c_str()), 0);
  EXPECT_EQ(Run(true, false, daemon).first, "Service erfolgreich installiert\n");
  char target[4096] = {};
  ASSERT_GT(readlink(Link().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), Unit());
}

TEST_F(DaemonInstallTest, AServiceWithoutDisplayNameIsNamedByItsName) {
  corvitest::WriteFile(dir.path() + "/Other.service", "");
  auto [out, err] = Run(true, false, {"Other", "", "/opt/other/other"});
  EXPECT_EQ(err.rfind("Service \"Other\" konnte nicht installiert werden; Fehler: \"Systemfehler.  Code: 17.", 0), 0u)
      << err;
}

TEST_F(DaemonInstallTest, AMissingUnitDirectoryIsNoFailureOfTheServiceButOfTheRun) {
  for (bool install : {true, false}) {
    std::ostringstream out, err;
    try {
      plat::RegisterServices(install, false, {daemon}, dir.path() + "/missing", out, err);
      ADD_FAILURE() << "no error";
    } catch (const plat::SystemError& e) {
      EXPECT_EQ(e.Code(), ENOENT);
      EXPECT_EQ(std::string(e.what()), "Systemfehler.  Code: 2.\r\n" + std::string(std::strerror(ENOENT)));
    }
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "");
  }
  corvitest::WriteFile(dir.path() + "/file", "");
  EXPECT_THROW(plat::ServiceManager(dir.path() + "/file"), plat::SystemError);
}

}  // namespace

// The daemon's switches, its unit file, and installing and removing it in a
// unit directory of the test's own.
#include <gtest/gtest.h>
#include <linux/posix_acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
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

TEST(DaemonUnitFileTest, PathsStayOneWordAndTheProgramsOwnerRunsIt) {
  const struct {
    plat::ServiceDefinition service;
    const char* execStart;
    const char* bind;
    const char* account;  // the lines, or none for root
  } cases[] = {
      {{"S", "D", "/opt/Corvi Link/corvilinkd"}, "\"/opt/Corvi Link/corvilinkd\"", "\"/opt/Corvi Link\"", ""},
      {{"S", "D", "/opt/100%/corvilinkd"}, "/opt/100%%/corvilinkd", "/opt/100%%", ""},
      {{"S", "D", "/opt/a:b/corvilinkd"}, "\"/opt/a:b/corvilinkd\"", "\"/opt/a:b\"", ""},
      {{"S", "D", "/home/kim/corvilink/corvilinkd", "kim", "users"}, "/home/kim/corvilink/corvilinkd",
       "/home/kim/corvilink", "User=kim\nGroup=users\n"},
      {{"S", "D", "/var/home/kim/c/corvilinkd", "4711", "4711", "/home/kim/c"}, "/var/home/kim/c/corvilinkd",
       "/var/home/kim/c:/home/kim/c", "User=4711\nGroup=4711\n"},
      {{"S", "D", "/corvilinkd"}, "/corvilinkd", "/", ""},
  };
  for (const auto& c : cases) {
    const std::string text = plat::UnitFileText(c.service);
    EXPECT_NE(text.find("\nExecStart=" + std::string(c.execStart) + "\n" + c.account + "UMask=0077\n"
                        "CapabilityBoundingSet=\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nProtectHome=tmpfs\nBindPaths=" + std::string(c.bind) + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ReadWritePaths"), std::string::npos) << text;
  }
}

TEST(DaemonUnitFileTest, AHomeFolderReachedThroughALink) {
  TempDir dir;
  const std::string real = dir.path() + "/var-home", home = dir.path() + "/home", plain = dir.path() + "/root";
  ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
  ASSERT_EQ(symlink(real.c_str(), home.c_str()), 0);
  const struct {
    std::string folder, route;
  } cases[] = {
      {real + "/kim/corvilink", home + "/kim/corvilink"},
      {real, home},
      {real + "x/kim", ""},
      {plain + "/corvilink", ""},
      {"/opt/corvilink", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::HomeRoute(c.folder, {plain, home}), c.route) << c.folder;
}

// Who could put another program in the daemon's place: every step from the
// file up belongs to its owner or root, and only they may write it.
TEST(DaemonInstallCheckTest, NoOneButTheOwnerAndRootMayWriteTheWay) {
  struct Case {
    const char* name;
    std::function<int(const std::string& dir, const std::string& file)> spoil;  // 0: done
    const char* found;  // "dir", "file" or "" (nothing in the test's tree)
  };
  const auto acl = [](uint16_t tag, uint32_t id, uint16_t perm) {
    // user::rwx, group::r-x, mask::rwx, other::r-x and the entry, in the
    // kernel's order of tags.
    std::vector<std::array<uint32_t, 3>> entries = {
        {ACL_USER_OBJ, 7, uint32_t(-1)}, {ACL_GROUP_OBJ, 5, uint32_t(-1)}, {ACL_MASK, 7, uint32_t(-1)},
        {ACL_OTHER, 5, uint32_t(-1)}, {tag, perm, id}};
    std::sort(entries.begin(), entries.end());
    std::string x = {2, 0, 0, 0};
    for (const auto& [t, p, i] : entries)
      for (uint32_t v : {t, t >> 8, p, p >> 8, i, i >> 8, i >> 16, i >> 24}) x += char(v & 0xff);
    return [x](const std::string& d, const std::string&) {
      return setxattr(d.c_str(), "system.posix_acl_access", x.data(), x.size(), 0);
    };
  };
  const Case cases[] = {
      {"as installed", [](auto&, auto&) { return 0; }, ""},
      {"folder group-writable", [](auto& d, auto&) { return chmod(d.c_str(), 0775); }, "dir"},
      {"folder world-writable", [](auto& d, auto&) { return chmod(d.c_str(), 0757); }, "dir"},
      {"file group-writable", [](auto&, auto& f) { return chmod(f.c_str(), 0775); }, "file"},
      {"folder of another account", [](auto& d, auto&) { return chown(d.c_str(), 65534, 0); }, "dir"},
      {"ACL: another user may write", acl(ACL_USER, 65534, 7), "dir"},
      {"ACL: a group may write", acl(ACL_GROUP, 100, 6), "dir"},
      {"ACL: root may write", acl(ACL_USER, 0, 7), ""},
      {"ACL: another user may read", acl(ACL_USER, 65534, 5), ""},
  };
  for (const Case& c : cases) {
    TempDir top;
    const std::string dir = top.path() + "/corvilink", file = dir + "/corvilinkd";
    ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    corvitest::WriteFile(file, "");
    ASSERT_EQ(chmod(file.c_str(), 0755), 0);
    if (c.spoil(dir, file) != 0) {
      // Another owner needs root; an ACL needs a file system that keeps them.
      EXPECT_TRUE(errno == EPERM || errno == EOPNOTSUPP) << c.name << ": " << std::strerror(errno);
      continue;
    }
    const std::string found = plat::WritableByOthers(file);
    const std::string expected = std::string(c.found) == "dir" ? dir : std::string(c.found) == "file" ? file : "";
    if (expected.empty())  // above the test's own folder, anything may be found
      EXPECT_NE(found.rfind(top.path(), 0), 0u) << c.name << ": " << found;
    else
      EXPECT_EQ(found, expected) << c.name;
  }
  EXPECT_EQ(plat::WritableByOthers("/nonexistent/corvilinkd"), "/nonexistent/corvilinkd");
}

TEST(DaemonInstallCheckTest, TheOwnersAccountAndGroup) {
  TempDir dir;
  const std::string file = dir.path() + "/corvilinkd";
  corvitest::WriteFile(file, "");
  plat::ServiceDefinition service{"S", "D", file};
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  const struct {
    uid_t uid;
    gid_t gid;
    const char *user, *group;
  } cases[] = {
      {0, 0, "", ""},
      {65534, 0, "nobody", "nogroup"},  // the primary group, not the file's
      {54321, 54322, "54321", "54322"},  // no one the system knows: the file's group
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chown(file.c_str(), c.uid, c.gid), 0);
    plat::RunAsProgramOwner(service);
    EXPECT_EQ(service.user, c.user) << c.uid;
    EXPECT_EQ(service.group, c.group) << c.uid;
  }
  service.binaryPath = dir.path() + "/missing";
  EXPECT_THROW(plat::RunAsProgramOwner(service), plat::SystemError);
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

TEST_F(DaemonInstallTest, APathSystemdWouldNotRunIsNoUnit) {
  // A line break would even begin a setting of the folder owner's choosing.
  for (const char* path : {"/opt/a\nUser=root\n/corvilinkd", "/opt/tab\there/corvilinkd", "/opt/a\"b/corvilinkd",
                           "/opt/a'b/corvilinkd", "/opt/a\\b/corvilinkd"}) {
    auto [out, err] = Run(true, false, {"CorvilinkDaemon", "Corvilink Daemon", path});
    EXPECT_EQ(err, "Service \"Corvilink Daemon\" konnte nicht installiert werden; Fehler: \"Systemfehler.  Code: 22.\r\n" +
                       std::string(std::strerror(EINVAL)) + "\"\n")
        << path;
    EXPECT_EQ(Entries(), std::vector<std::string>{}) << path;
  }
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

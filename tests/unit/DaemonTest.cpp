// The daemon's switches, its unit file, and installing and removing it in a
// unit directory of the test's own.
#include <fcntl.h>
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
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Common.h"
#include "CorvilinkDMain.h"
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
    const char* hide = "";
  } cases[] = {
      {{"S", "D", "/opt/Corvi Link/corvilinkd"}, "\"/opt/Corvi Link/corvilinkd\"", "\"/opt/Corvi Link\"", ""},
      {{"S", "D", "/opt/100%/corvilinkd"}, "/opt/100%%/corvilinkd", "/opt/100%%", ""},
      {{"S", "D", "/opt/a:b/corvilinkd"}, "\"/opt/a:b/corvilinkd\"", "\"/opt/a:b\"", ""},
      {{"S", "D", "/home/kim/corvilink/corvilinkd", "kim", "users"}, "/home/kim/corvilink/corvilinkd",
       "/home/kim/corvilink", "User=kim\nGroup=users\n"},
      {{"S", "D", "/var/home/kim/c/corvilinkd", "4711", "4711", "/home/kim/c"}, "/var/home/kim/c/corvilinkd",
       "/var/home/kim/c:/home/kim/c", "User=4711\nGroup=4711\n"},
      {{"S", "D", "/opt/lee-home/c/corvilinkd", "lee", "lee", "", "/opt/lee-home"}, "/opt/lee-home/c/corvilinkd",
       "/opt/lee-home/c", "User=lee\nGroup=lee\n", "TemporaryFileSystem=/opt/lee-home\n"},
      {{"S", "D", "/corvilinkd"}, "/corvilinkd", "/", ""},
  };
  for (const auto& c : cases) {
    const std::string text = plat::UnitFileText(c.service);
    EXPECT_NE(text.find("\nExecStart=" + std::string(c.execStart) + "\n" + c.account + "UMask=0077\n"
                        "CapabilityBoundingSet=\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nProtectHome=tmpfs\n" + std::string(c.hide) + "BindPaths=" + c.bind + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("ReadWritePaths"), std::string::npos) << text;
  }
}

TEST(DaemonUnitFileTest, AHomeFolderReachedThroughALink) {
  TempDir dir;
  // home leads to real, as /home to /var/home, and the links in it are
  // homes; plain stands for /root, whose links are not.
  const std::string real = dir.path() + "/var-home", home = dir.path() + "/home", plain = dir.path() + "/root";
  const std::string own = dir.path() + "/lee-home", mine = dir.path() + "/kim", other = dir.path() + "/other";
  for (const std::string& d : {real, plain, own, mine, other}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  ASSERT_EQ(symlink(real.c_str(), home.c_str()), 0);
  ASSERT_EQ(symlink(own.c_str(), (real + "/lee").c_str()), 0);
  ASSERT_EQ(symlink("/usr", (real + "/sys").c_str()), 0);
  ASSERT_EQ(symlink("/usr/lib", (real + "/lib").c_str()), 0);
  ASSERT_EQ(symlink(other.c_str(), (plain + "/other").c_str()), 0);
  const struct {
    std::string folder, route, hidden, home;
  } cases[] = {
      {real + "/kim/corvilink", home + "/kim/corvilink", "", ""},
      {real, home, "", ""},
      {real + "x/kim", "", "", ""},
      {plain + "/corvilink", "", "", ""},
      {own + "/corvilink", "", own, home + "/lee"},
      {own, "", own, home + "/lee"},
      {own + "x", "", "", ""},
      {other + "/corvilink", "", "", ""},
      {"/usr/local/corvilink", "", "/usr", home + "/sys"},
      {"/usr/lib/corvilink", "", "/usr/lib", home + "/lib"},
      {mine + "/corvilink", "", mine, mine},  // the owner's own home folder
      {"/opt/corvilink", "", "", ""},
  };
  for (const auto& c : cases) {
    const plat::HomeWay way = plat::HomeWayTo(c.folder, mine, {home, plain});
    EXPECT_EQ(way.route, c.route) << c.folder;
    EXPECT_EQ(way.hidden, c.hidden) << c.folder;
    EXPECT_EQ(way.home, c.home) << c.folder;
    // Only the system's own trees are refused rather than hidden.
    if (!way.hidden.empty()) {
      EXPECT_EQ(plat::SystemsOwn(way.hidden), way.hidden.compare(0, 4, "/usr") == 0) << c.folder;
    }
  }
}

// Who could put another program in the daemon's place: every step from the
// file up belongs to its owner or root, and only they may write it; and the
// name still leads to the program that runs.
TEST(DaemonInstallCheckTest, NoOneButTheOwnerAndRootMayWriteTheWay) {
  struct Case {
    const char* name;
    std::function<int(const std::string& dir, const std::string& file)> spoil;  // 0: done
    plat::Refused why;  // Nothing: nothing in the test's tree
    const char* where = "dir";  // or "file", "top" (the folder above), "log"
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
  // A group no account has as its own.
  const auto groupWrites = [](const std::string& path, mode_t mode) {
    return chown(path.c_str(), uid_t(-1), 54322) != 0 ? -1 : chmod(path.c_str(), mode);
  };
  const auto swapFor = [](auto make) {
    return [make](auto&, const std::string& f) {
      return make(f + ".new") != 0 ? -1 : rename((f + ".new").c_str(), f.c_str());
    };
  };
  using enum plat::Refused;
  const auto nobodys = [](const std::string& f) { return chown(f.c_str(), 65534, 65534); };
  const Case cases[] = {
      {"as installed", [](auto&, auto&) { return 0; }, Nothing},
      {"folder group-writable", [&](auto& d, auto&) { return groupWrites(d, 0775); }, OthersMayWrite},
      {"folder world-writable", [](auto& d, auto&) { return chmod(d.c_str(), 0757); }, OthersMayWrite},
      {"file group-writable", [&](auto&, auto& f) { return groupWrites(f, 0775); }, OthersMayWrite, "file"},
      {"folder of another account", [](auto& d, auto&) { return chown(d.c_str(), 65534, 0); }, OthersMayWrite},
      {"ACL: another user may write", acl(ACL_USER, 65534, 7), OthersMayWrite},
      {"ACL: a group may write", acl(ACL_GROUP, 100, 6), OthersMayWrite},
      {"ACL: root may write", acl(ACL_USER, 0, 7), Nothing},
      {"ACL: another user may read", acl(ACL_USER, 65534, 5), Nothing},
      {"folder now a link",
       [](auto& d, auto&) {
         return rename(d.c_str(), (d + ".x").c_str()) != 0 ? -1 : symlink((d + ".x").c_str(), d.c_str());
       },
       OthersMayWrite},
      {"name now a link to root's program",
       swapFor([](const std::string& n) { return symlink("/bin/true", n.c_str()); }), NotTheProgram, "file"},
      {"name now another file", swapFor([](const std::string& n) { return corvitest::WriteFile(n, ""), 0; }),
       NotTheProgram, "file"},
      // The daemon writes its log beside the program.
      {"folder its owner may not write", [](auto& d, auto&) { return chmod(d.c_str(), 0555); }, OwnerMayNotWrite},
      {"program nobody's, folder root's", [&](auto&, auto& f) { return nobodys(f); }, OwnerMayNotWrite},
      {"ACL: nobody may write root's folder",
       [&](auto& d, auto& f) { return nobodys(f) != 0 ? -1 : acl(ACL_USER, 65534, 7)(d, f); }, Nothing},
      // Without capabilities, even root needs the bits to run it and reach it.
      {"file its owner may not run", [](auto&, auto& f) { return chmod(f.c_str(), 0655); }, NoAccess, "file"},
      {"folder above its owner may not pass", [](auto& d, auto&) { return chmod(plat::DirectoryOf(d).c_str(), 0600); },
       NoAccess, "top"},
      // The log the daemon would append to, found there already.
      {"the owner's own log", [](auto& d, auto&) { return corvitest::WriteFile(d + "/corvilinkd.log", ""), 0; },
       Nothing},
      {"log with a second name",
       [](auto& d, auto&) {
         return corvitest::WriteFile(d + "/x", ""), link((d + "/x").c_str(), (d + "/corvilinkd.log").c_str());
       },
       NotOwners, "log"},
  };
  for (const Case& c : cases) {
    TempDir top;
    const std::string dir = top.path() + "/corvilink", file = dir + "/corvilinkd";
    ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    corvitest::WriteFile(file, "");
    ASSERT_EQ(chmod(file.c_str(), 0755), 0);
    // Open as the program that runs is.
    const plat::Fd program(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (c.spoil(dir, file) != 0) {
      // Another owner needs root; an ACL needs a file system that keeps them.
      EXPECT_TRUE(errno == EPERM || errno == EOPNOTSUPP) << c.name << ": " << std::strerror(errno);
      continue;
    }
    plat::ServiceDefinition service{"S", "D", file};
    service.ownFiles = {"corvilinkd.log", "CorvilinkD.run"};
    const plat::Refusal refused = plat::PrepareInstall(program.Get(), service);
    const std::map<std::string, std::string> at{
        {"dir", dir}, {"file", file}, {"top", top.path()}, {"log", dir + "/corvilinkd.log"}};
    if (c.why == Nothing)  // above the test's own folder, anything may be found
      EXPECT_EQ(refused.path.find(top.path()), std::string::npos) << c.name << ": " << refused.path;
    else
      EXPECT_EQ(refused, (plat::Refusal{c.why, at.at(c.where)})) << c.name;
  }
}

TEST(DaemonInstallCheckTest, TheOwnersAccountAndGroup) {
  TempDir dir;
  const std::string file = dir.path() + "/corvilinkd";
  corvitest::WriteFile(file, "");
  const plat::Fd program(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  plat::ServiceDefinition service{"S", "D", file};
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  const struct {
    uid_t uid;
    gid_t gid;
    const char *user, *group;
  } cases[] = {
      {0, 0, "", ""},
      {65534, 0, "nobody", "nogroup"},  // the primary group, not the file's
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chown(file.c_str(), c.uid, c.gid), 0);
    plat::PrepareInstall(program.Get(), service);
    EXPECT_EQ(service.user, c.user) << c.uid;
    EXPECT_EQ(service.group, c.group) << c.uid;
  }
  // A unit of no one the system knows would fail at every start.
  ASSERT_EQ(chown(file.c_str(), 54321, 54322), 0);
  EXPECT_EQ(plat::PrepareInstall(program.Get(), service), (plat::Refusal{plat::Refused::UnknownOwner, file, 54321}));
  EXPECT_THROW(plat::PrepareInstall(-1, service), plat::SystemError);
  // A file system that keeps no ACL, and not one whose modes tell all.
  service.binaryPath = "/proc/sys/kernel/hostname";
  const plat::Fd proc(open(service.binaryPath.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(plat::PrepareInstall(proc.Get(), service), (plat::Refusal{plat::Refused::CannotTell, service.binaryPath}));
}

class DaemonInstallTest : public ::testing::Test {
protected:
  std::string Unit() const { return dir.path() + "/CorvilinkDaemon.service"; }
  std::string Link() const { return dir.path() + "/multi-user.target.wants/CorvilinkDaemon.service"; }
  // out, err; the run tells a failure exactly when it wrote one
  std::pair<std::string, std::string> Run(bool install, bool silent, const plat::ServiceDefinition& svc) {
    std::ostringstream out, err;
    const bool ok = corvilink::RegisterServices(install, silent, {svc}, dir.path(), out, err);
    EXPECT_EQ(ok, err.str().empty());
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
  // A line break would even begin a setting of the folder owner's choosing;
  // a setting that is not UTF-8 systemd ignores: Latin-1, an overlong "/",
  // a surrogate, past U+10FFFF, a cut sequence.
  std::vector<plat::ServiceDefinition> cases;
  for (const char* path : {"/opt/a\nUser=root\n/c", "/opt/tab\there/c", "/opt/a\"b/c", "/opt/a'b/c", "/opt/a\\b/c",
                           "/opt/K\xe4tzchen/c", "/opt/\xc0\xaf/c", "/opt/\xed\xa0\x80/c", "/opt/\xf4\x90\x80\x80/c",
                           "/opt/cut\xe2\x82"})
    cases.push_back({"C", "D", path});
  cases.push_back({"C", "D", "/opt/a:b/x/c", "", "", "", "/opt/a:b"});  // no colon before a hidden folder's options
  for (const plat::ServiceDefinition& c : cases) {
    auto [out, err] = Run(true, false, c);
    EXPECT_EQ(err, "Service \"D\" konnte nicht installiert werden; Fehler: \"Systemfehler.  Code: 22.\r\n" +
                       std::string(std::strerror(EINVAL)) + "\"\n")
        << c.binaryPath;
    EXPECT_EQ(Entries(), std::vector<std::string>{}) << c.binaryPath;
  }
  EXPECT_EQ(Run(true, false, {"C", "D", "/opt/K\xc3\xa4tzchen \xf0\x9f\x90\xb1/c"}).second, "");
}

TEST_F(DaemonInstallTest, AMissingUnitDirectoryIsNoFailureOfTheServiceButOfTheRun) {
  for (bool install : {true, false}) {
    std::ostringstream out, err;
    try {
      corvilink::RegisterServices(install, false, {daemon}, dir.path() + "/missing", out, err);
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

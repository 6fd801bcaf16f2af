#include "ServiceUnit.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Common.h"

extern char** environ;

namespace plat {

bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& word) {
  for (const std::string& arg : args) {
    if (!arg.empty() && (arg[0] == '/' || arg[0] == '-') && SameTextAscii(arg.substr(1), word)) return true;
  }
  return false;
}

std::string SysErrorMessage(int code) {
  char buf[256];
  return strerror_r(code, buf, sizeof buf);
}

static std::string SystemErrorText(int code) {
  if (code == 0) return "Ein Aufruf einer Betriebssystemfunktion ist fehlgeschlagen";
  return "Systemfehler.  Code: " + std::to_string(code) + ".\r\n" + SysErrorMessage(code);
}

SystemError::SystemError(int code) : std::runtime_error(SystemErrorText(code)), code_(code) {}

namespace {

// systemd runs no program whose path holds a control byte, a quote or a
// backslash; a line break would even begin a setting of its own.
bool FitsInUnit(const std::string& path) {
  for (const unsigned char ch : path)
    if (ch < 0x20 || ch == 0x7f || ch == '"' || ch == '\'' || ch == '\\') return false;
  return true;
}

// One path in a setting: "%" would start a specifier, and a blank or a colon
// would end the word.
std::string UnitWord(const std::string& path) {
  std::string body;
  for (const char ch : path) {
    if (ch == '%') body += '%';
    body += ch;
  }
  return path.find_first_of(" :") == std::string::npos ? body : "\"" + body + "\"";
}

const char* const kTarget = "multi-user.target";

}  // namespace

std::string UnitFileText(const ServiceDefinition& service) {
  const std::string dir = DirectoryOf(service.binaryPath);
  std::string account, bind = UnitWord(dir);
  if (!service.user.empty())
    account.append("User=").append(service.user).append("\nGroup=").append(service.group).append("\n");
  if (!service.folderRoute.empty()) bind.append(":").append(UnitWord(service.folderRoute));
  // The program folder holds the configuration, the log and the marker
  // files, and is the one place the daemon writes. Home folders, wherever
  // links lead them, are empty to it; its own folder is bound back in place,
  // so that it runs from there too.
  return "[Unit]\n"
         "Description=" + service.displayName + "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + UnitWord(service.binaryPath) + "\n" +
         account +
         "UMask=0077\n"
         "CapabilityBoundingSet=\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=strict\n"
         "ProtectHome=tmpfs\n"
         "BindPaths=" + bind + "\n"
         "PrivateTmp=yes\n"
         "PrivateDevices=yes\n"
         "PrivateUsers=yes\n"
         "PrivateMounts=yes\n"
         "ProtectHostname=yes\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "\n"
         "[Install]\n"
         "WantedBy=" + kTarget + "\n";
}

namespace {

// A name systemd takes as it stands, and that no one could mistake for a number.
bool PlainAccountName(const std::string& name) {
  if (name.empty() || name.size() > 31 || name[0] == '-') return false;
  bool digitsOnly = true;
  for (const char c : name) {
    const bool digit = c >= '0' && c <= '9';
    digitsOnly = digitsOnly && digit;
    if (!digit && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '_' && c != '-' && c != '.')
      return false;
  }
  return !digitsOnly;
}

std::string AccountName(const char* name, unsigned id) {
  return name != nullptr && PlainAccountName(name) ? std::string(name) : std::to_string(id);
}

// The owner aside, who may write: another owner, anyone, the group, or
// whoever an ACL names. With an ACL the mode's group bits are its mask, and
// the entries say who really may write.
bool OthersMayWrite(const std::string& path, const struct stat& st, uid_t owner) {
  if ((st.st_uid != owner && st.st_uid != 0) || (st.st_mode & S_IWOTH) != 0) return true;
  const char* const name = "system.posix_acl_access";
  ssize_t n = getxattr(path.c_str(), name, nullptr, 0);
  if (n < 0 && (errno == ENODATA || errno == EOPNOTSUPP)) return (st.st_mode & S_IWGRP) != 0;
  std::vector<unsigned char> acl(static_cast<size_t>(n < 0 ? 0 : n));
  if (n >= 0) n = getxattr(path.c_str(), name, acl.data(), acl.size());
  // As the kernel stores it: a version word, then entries of tag,
  // permission and id, all little-endian.
  const auto word = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | acl[at + size_t(i)];
    return v;
  };
  if (n < 4 || (n - 4) % 8 != 0 || word(0, 4) != POSIX_ACL_XATTR_VERSION) return true;  // unknown: unsafe
  uint32_t mask = ACL_WRITE;
  for (size_t at = 4; at < size_t(n); at += 8)
    if (word(at, 2) == ACL_MASK) mask = word(at + 2, 2);
  for (size_t at = 4; at < size_t(n); at += 8) {
    const uint32_t tag = word(at, 2), id = word(at + 4, 4);
    if (!(word(at + 2, 2) & ACL_WRITE)) continue;
    if (tag == ACL_OTHER) return true;
    if ((tag == ACL_GROUP_OBJ || tag == ACL_GROUP) && (mask & ACL_WRITE)) return true;
    if (tag == ACL_USER && id != owner && id != 0 && (mask & ACL_WRITE)) return true;
  }
  return false;
}

}  // namespace

std::string HomeRoute(const std::string& folder, const std::vector<std::string>& homes) {
  for (const std::string& home : homes) {
    const std::string target = RealPath(home);
    if (!target.empty() && target != home && (folder == target || folder.compare(0, target.size() + 1, target + "/") == 0))
      return home + folder.substr(target.size());
  }
  return std::string();
}

void RunAsProgramOwner(ServiceDefinition& service) {
  struct stat st;
  if (stat(service.binaryPath.c_str(), &st) != 0) throw SystemError(errno);
  service.user.clear();
  service.group.clear();
  if (st.st_uid == 0) return;
  std::vector<char> buf(16384);
  struct passwd pw, *user = nullptr;
  getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &user);
  // Without an entry in the user database, the file's group.
  const gid_t gid = user != nullptr ? user->pw_gid : st.st_gid;
  service.user = AccountName(user != nullptr ? user->pw_name : nullptr, st.st_uid);
  std::vector<char> gbuf(16384);
  struct group gr, *group = nullptr;
  getgrgid_r(gid, &gr, gbuf.data(), gbuf.size(), &group);
  service.group = AccountName(group != nullptr ? group->gr_name : nullptr, gid);
}

std::string WritableByOthers(const std::string& path) {
  std::string at = RealPath(path);
  if (at.empty()) return path;
  struct stat st;
  if (stat(at.c_str(), &st) != 0) return at;
  const uid_t owner = st.st_uid;
  // The same rule as sshd's for its keys: every step of the way belongs to
  // the owner or root, and no one else may write it.
  for (;; at = DirectoryOf(at)) {
    if (stat(at.c_str(), &st) != 0) return at;
    if (OthersMayWrite(at, st, owner)) return at;
    if (at == "/") return std::string();
  }
}

ServiceManager::ServiceManager(std::string directory) : dir_(std::move(directory)) {
  struct stat st;
  if (stat(dir_.c_str(), &st) != 0) throw SystemError(errno);
  if (!S_ISDIR(st.st_mode)) throw SystemError(ENOTDIR);
  if (access(dir_.c_str(), W_OK) != 0) throw SystemError(errno);
}

void ServiceManager::CreateService(const ServiceDefinition& service) {
  if (!FitsInUnit(service.binaryPath)) throw SystemError(EINVAL);
  const std::string unit = dir_ + "/" + service.name + ".service";
  std::string temp = dir_ + "/." + service.name + ".service.XXXXXX";
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) throw SystemError(errno);
  if (!WriteAll(fd.Get(), UnitFileText(service)) || fchmod(fd.Get(), 0644) != 0 || fsync(fd.Get()) != 0 ||
      !fd.Close()) {
    const int err = errno;
    unlink(temp.c_str());
    throw SystemError(err);
  }
  // A link, unlike a rename, refuses a name that is taken: an existing unit
  // stays as it is, and nobody ever reads half a file.
  const int linked = link(temp.c_str(), unit.c_str());
  const int err = errno;
  unlink(temp.c_str());
  if (linked != 0) throw SystemError(err);

  const std::string wants = dir_ + "/" + kTarget + ".wants";
  const std::string enabled = wants + "/" + service.name + ".service";
  int failed = 0;
  if (mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST) failed = errno;
  // A link left behind by hand points wherever it points: ours replaces it.
  if (!failed && unlink(enabled.c_str()) != 0 && errno != ENOENT) failed = errno;
  if (!failed && symlink(unit.c_str(), enabled.c_str()) != 0) failed = errno;
  if (failed) {
    unlink(unit.c_str());
    throw SystemError(failed);
  }
  Reload();
}

void ServiceManager::DeleteService(const std::string& name) {
  const std::string unit = dir_ + "/" + name + ".service";
  const std::string enabled = dir_ + "/" + kTarget + ".wants/" + name + ".service";
  struct stat st;
  if (lstat(unit.c_str(), &st) != 0) throw SystemError(errno);
  if (unlink(enabled.c_str()) != 0 && errno != ENOENT) throw SystemError(errno);
  if (unlink(unit.c_str()) != 0) throw SystemError(errno);
  Reload();
}

void ServiceManager::Reload() const {
  // Only systemd's own directory, and only when systemd is the running init.
  struct stat st;
  if (dir_ != kUnitDirectory || stat("/run/systemd/system", &st) != 0) return;
  char arg0[] = "systemctl";
  char arg1[] = "daemon-reload";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ) != 0) return;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The unit is in place either way; systemd reads it at the latest when it
  // next starts.
}

void RegisterServices(bool install, bool silent, const std::vector<ServiceDefinition>& services,
                      const std::string& directory, std::ostream& out, std::ostream& err) {
  ServiceManager manager(directory);
  bool failed = false;
  for (const ServiceDefinition& service : services) {
    try {
      if (install)
        manager.CreateService(service);
      else
        manager.DeleteService(service.name);
    } catch (const std::exception& e) {
      const std::string& shown = service.displayName.empty() ? service.name : service.displayName;
      err << "Service \"" << shown << "\" konnte nicht " << (install ? "installiert" : "deinstalliert")
          << " werden; Fehler: \"" << e.what() << "\"" << std::endl;
      failed = true;
    }
  }
  if (!failed && !silent)
    out << (install ? "Service erfolgreich installiert" : "Service erfolgreich deinstalliert") << std::endl;
}

}  // namespace plat

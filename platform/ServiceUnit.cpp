#include "ServiceUnit.h"

#include <dirent.h>
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

// systemd ignores a setting that is not UTF-8, and runs no program whose
// path holds a control byte, a quote or a backslash; a line break would even
// begin a setting of its own.
bool FitsInUnit(const std::string& path) {
  for (size_t at = 0; at < path.size();) {
    const unsigned char ch = static_cast<unsigned char>(path[at]);
    if (ch < 0x20 || ch == 0x7f || ch == '"' || ch == '\'' || ch == '\\') return false;
    // The sequence's length, and the least value it may carry.
    const size_t n = ch < 0x80                  ? 1
                     : ch >= 0xc2 && ch < 0xe0 ? 2
                     : ch >= 0xe0 && ch < 0xf0 ? 3
                     : ch >= 0xf0 && ch < 0xf5 ? 4
                                               : 0;
    if (n == 0 || at + n > path.size()) return false;
    uint32_t cp = n == 1 ? ch : ch & (0x7f >> n);
    for (size_t i = 1; i < n; ++i) {
      const unsigned char next = static_cast<unsigned char>(path[at + i]);
      if ((next & 0xc0) != 0x80) return false;
      cp = cp << 6 | (next & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    at += n;
  }
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
  std::string hide;
  if (!service.hiddenHome.empty())
    hide.append("TemporaryFileSystem=").append(UnitWord(service.hiddenHome)).append("\n");
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
         "ProtectHome=tmpfs\n" +
         hide +
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

// The user database's entries, copied out of glibc's buffers.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};
struct Group {
  std::string name;
  gid_t gid = 0;
  std::vector<std::string> members;
};

// A getpw*_r or getgr*_r call, with a buffer that grows while it asks for more.
template <typename Entry, typename Get>
Entry* LookUp(Entry& entry, std::vector<char>& buf, Get get) {
  Entry* found = nullptr;
  int err;
  while ((err = get(&entry, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return err == 0 ? found : nullptr;
}

bool AccountById(uid_t uid, Account& out) {
  passwd entry;
  std::vector<char> buf(16384);
  const passwd* pw = LookUp(entry, buf, [uid](auto... a) { return getpwuid_r(uid, a...); });
  if (pw != nullptr) out = {pw->pw_name, pw->pw_uid, pw->pw_gid};
  return pw != nullptr;
}

bool GroupById(gid_t gid, Group& out) {
  group entry;
  std::vector<char> buf(16384);
  const group* gr = LookUp(entry, buf, [gid](auto... a) { return getgrgid_r(gid, a...); });
  if (gr == nullptr) return false;
  out = {gr->gr_name, gr->gr_gid, {}};
  for (char** m = gr->gr_mem; m != nullptr && *m != nullptr; ++m) out.members.emplace_back(*m);
  return true;
}

// The name, where it leads back to this id; else the number. Where two
// accounts share a name, systemd takes the first.
std::string UserText(const Account& account) {
  passwd entry;
  std::vector<char> buf(16384);
  const char* name = account.name.c_str();
  const passwd* pw = PlainAccountName(name) ? LookUp(entry, buf, [name](auto... a) { return getpwnam_r(name, a...); })
                                            : nullptr;
  return pw != nullptr && pw->pw_uid == account.uid ? account.name : std::to_string(account.uid);
}

std::string GroupText(gid_t gid) {
  Group known;
  group entry;
  std::vector<char> buf(16384);
  const char* name = GroupById(gid, known) && PlainAccountName(known.name) ? known.name.c_str() : nullptr;
  const group* gr =
      name != nullptr ? LookUp(entry, buf, [name](auto... a) { return getgrnam_r(name, a...); }) : nullptr;
  return gr != nullptr && gr->gr_gid == gid ? known.name : std::to_string(gid);
}

// A group of the owner's alone: the owner's primary group, no other
// account's primary group, and no one else listed in it. Where each user
// gets a group of their own and a umask of 002, the owner's folders are
// group-writable, and no one but the owner can write them all the same.
bool OwnersAlone(gid_t gid, const Account& owner) {
  Group gr;
  if (gid != owner.gid || !GroupById(gid, gr)) return false;
  for (const std::string& m : gr.members)
    if (m != owner.name) return false;
  bool alone = true;
  setpwent();
  std::vector<char> buf(16384);
  passwd entry, *pw = nullptr;
  while (alone && getpwent_r(&entry, buf.data(), buf.size(), &pw) == 0 && pw != nullptr)
    alone = pw->pw_gid != gid || pw->pw_uid == owner.uid;
  endpwent();
  return alone;
}

// The access ACL as the kernel stores it, of an open file (fd) or of a path
// not followed; empty when there is none.
bool ReadAcl(int fd, const std::string& path, std::vector<unsigned char>& acl) {
  const auto get = [&](void* to, size_t size) {
    const char* const name = "system.posix_acl_access";
    return fd >= 0 ? fgetxattr(fd, name, to, size) : lgetxattr(path.c_str(), name, to, size);
  };
  acl.clear();
  for (;;) {
    const ssize_t n = get(nullptr, 0);
    if (n < 0) return errno == ENODATA || errno == EOPNOTSUPP;
    acl.resize(size_t(n));
    const ssize_t got = get(acl.data(), acl.size());
    if (got >= 0) {
      acl.resize(size_t(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// The owner aside, who may write: another owner, anyone, a group other than
// the owner's own, or whoever an ACL names. With an ACL the mode's group
// bits are its mask, and the entries say who really may write.
bool OthersMayWrite(const struct stat& st, const Account& owner, int fd, const std::string& path) {
  if ((st.st_uid != owner.uid && st.st_uid != 0) || (st.st_mode & S_IWOTH) != 0) return true;
  const auto groupMayWrite = [&](gid_t gid) { return !OwnersAlone(gid, owner); };
  std::vector<unsigned char> acl;
  if (!ReadAcl(fd, path, acl)) return true;  // unknown: unsafe
  if (acl.empty()) return (st.st_mode & S_IWGRP) != 0 && groupMayWrite(st.st_gid);
  // A version word, then entries of tag, permission and id, all little-endian.
  const auto word = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | acl[at + size_t(i)];
    return v;
  };
  if (acl.size() < 4 || (acl.size() - 4) % 8 != 0 || word(0, 4) != POSIX_ACL_XATTR_VERSION) return true;
  uint32_t mask = ACL_WRITE;
  for (size_t at = 4; at < acl.size(); at += 8)
    if (word(at, 2) == ACL_MASK) mask = word(at + 2, 2);
  for (size_t at = 4; at < acl.size(); at += 8) {
    const uint32_t tag = word(at, 2), id = word(at + 4, 4);
    if (!(word(at + 2, 2) & ACL_WRITE)) continue;
    if (tag == ACL_OTHER) return true;
    if (!(mask & ACL_WRITE)) continue;
    if (tag == ACL_GROUP_OBJ && groupMayWrite(st.st_gid)) return true;
    if (tag == ACL_GROUP && groupMayWrite(gid_t(id))) return true;
    if (tag == ACL_USER && id != owner.uid && id != 0) return true;
  }
  return false;
}

// The first of the program and the folders above it that an account other
// than the owner and root could change; empty when there is none. The path
// comes from the running program and has no link in it: a link in the way
// now is a way that someone changed.
std::string WritableByOthers(int program, const struct stat& st, const std::string& path, const Account& owner) {
  if (OthersMayWrite(st, owner, program, path)) return path;
  // The same rule as sshd's for its keys: every step of the way belongs to
  // the owner or root, and no one else may write it.
  for (std::string at = DirectoryOf(path);; at = DirectoryOf(at)) {
    struct stat dir;
    if (lstat(at.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode) || OthersMayWrite(dir, owner, -1, at)) return at;
    if (at == "/" || at == ".") return std::string();
  }
}

bool Within(const std::string& folder, const std::string& top) {
  return folder == top || folder.compare(0, top.size() + 1, top + "/") == 0;
}

}  // namespace

HomeWay HomeWayTo(const std::string& folder, const std::vector<std::string>& homes) {
  for (const std::string& home : homes) {
    const std::string target = RealPath(home);
    if (target.empty()) continue;
    if (target != home) {
      if (Within(folder, target)) return {home + folder.substr(target.size()), std::string()};
      continue;
    }
    DIR* d = opendir(home.c_str());
    if (d == nullptr) continue;
    HomeWay way;
    while (const dirent* e = readdir(d)) {
      const std::string entry = home + "/" + e->d_name;
      struct stat st;
      if (e->d_name[0] == '.' || lstat(entry.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
      // The nearest, whatever the order of the entries.
      const std::string leads = RealPath(entry);
      if (!leads.empty() && leads != "/" && Within(folder, leads) && leads.size() > way.hidden.size())
        way.hidden = leads;
    }
    closedir(d);
    if (!way.hidden.empty()) return way;
  }
  return HomeWay();
}

std::string PrepareInstall(int program, ServiceDefinition& service) {
  struct stat st, named;
  if (fstat(program, &st) != 0) throw SystemError(errno);
  const std::string& path = service.binaryPath;
  // The name may lead elsewhere since the program started: swapped for a
  // link, or for another file.
  if (lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_dev != st.st_dev ||
      named.st_ino != st.st_ino)
    return "\"" + path + "\" ist nicht mehr das laufende Programm";
  service.user.clear();
  service.group.clear();
  Account owner{"root", 0, 0};
  if (st.st_uid != 0) {
    // systemd would refuse to start a unit whose user it cannot find.
    if (!AccountById(st.st_uid, owner))
      return "Der Besitzer von \"" + path + "\", Konto " + std::to_string(st.st_uid) + ", ist dem System unbekannt";
    service.user = UserText(owner);
    service.group = GroupText(owner.gid);
  }
  const std::string open = WritableByOthers(program, st, path, owner);
  if (!open.empty()) {
    const std::string owners = service.user.empty() ? "root" : service.user + " und root";
    return "Andere Konten als " + owners + " haben Schreibrechte auf \"" + open + "\"";
  }
  const HomeWay way = HomeWayTo(DirectoryOf(path));
  service.folderRoute = way.route;
  service.hiddenHome = way.hidden;
  return std::string();
}

ServiceManager::ServiceManager(std::string directory) : dir_(std::move(directory)) {
  struct stat st;
  if (stat(dir_.c_str(), &st) != 0) throw SystemError(errno);
  if (!S_ISDIR(st.st_mode)) throw SystemError(ENOTDIR);
  if (access(dir_.c_str(), W_OK) != 0) throw SystemError(errno);
}

void ServiceManager::CreateService(const ServiceDefinition& service) {
  // A hidden folder's options follow a colon: no colon can stand in its path.
  if (!FitsInUnit(service.binaryPath) || service.hiddenHome.find(':') != std::string::npos) throw SystemError(EINVAL);
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
  // Never through PATH, which may hold the current folder; systemctl is in
  // /bin where /usr is not merged into it.
  const char* systemctl = "/usr/bin/systemctl";
  if (access(systemctl, X_OK) != 0) systemctl = "/bin/systemctl";
  char arg0[] = "systemctl";
  char arg1[] = "daemon-reload";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, systemctl, nullptr, nullptr, argv, environ) != 0) return;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The unit is in place either way; systemd reads it at the latest when it
  // next starts.
}

bool RegisterServices(bool install, bool silent, const std::vector<ServiceDefinition>& services,
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
  return !failed;
}

}  // namespace plat

#include "ServiceUnit.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/magic.h>
#include <linux/posix_acl_xattr.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Accounts.h"
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

// One entry of an access ACL: its tag, its permission bits and the id it names.
struct AclEntry {
  uint32_t tag, perm, id;
};

// Where who may write is decided by a server, a program in user space or
// another machine of a cluster, the mode and the ACL are only what the
// kernel was told.
bool Remote(unsigned long type) {
  static const unsigned long kTypes[] = {
      NFS_SUPER_MAGIC, SMB_SUPER_MAGIC, CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC, FUSE_SUPER_MAGIC, V9FS_MAGIC,
      CEPH_SUPER_MAGIC, AFS_SUPER_MAGIC, AFS_FS_MAGIC, CODA_SUPER_MAGIC, NCP_SUPER_MAGIC, OCFS2_SUPER_MAGIC,
      0x01161970 /* GFS2 */, 0x0bd00bd0 /* Lustre */, 0x47504653 /* GPFS */, 0x20030528 /* OrangeFS */,
      0x786f4256 /* vboxsf */};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

// Local file systems that keep ACLs, and keep none only when mounted or
// built without them: there the mode is all there is.
bool ModeTellsAll(unsigned long type) {
  static const unsigned long kTypes[] = {EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, F2FS_SUPER_MAGIC,
                                         TMPFS_MAGIC, RAMFS_MAGIC};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

// Who may do what with the file open at fd (O_PATH will do): the entries of
// its access ACL, or the three its mode stands for where it has none.
// CannotTell where its file system decides elsewhere; OthersMayWrite where
// the ACL can't be read or isn't understood.
Refused ReadAccess(int fd, const struct stat& st, std::vector<AclEntry>& entries) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0 || Remote(static_cast<unsigned long>(fs.f_type))) return Refused::CannotTell;
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  const auto get = [&](void* to, size_t size) { return getxattr(name.c_str(), "system.posix_acl_access", to, size); };
  std::vector<unsigned char> acl;
  for (;;) {
    const ssize_t n = get(nullptr, 0);
    if (n < 0 && errno == EOPNOTSUPP && !ModeTellsAll(static_cast<unsigned long>(fs.f_type)))
      return Refused::CannotTell;
    if (n < 0 && (errno == ENODATA || errno == EOPNOTSUPP)) {
      const uint32_t mode = st.st_mode, none = uint32_t(ACL_UNDEFINED_ID);
      entries = {{ACL_USER_OBJ, mode >> 6 & 7, none}, {ACL_GROUP_OBJ, mode >> 3 & 7, none}, {ACL_OTHER, mode & 7, none}};
      return Refused::Nothing;
    }
    if (n < 0) return Refused::OthersMayWrite;
    acl.resize(size_t(n));
    const ssize_t got = get(acl.data(), acl.size());
    if (got >= 0) {
      acl.resize(size_t(got));
      break;
    }
    if (errno != ERANGE) return Refused::OthersMayWrite;
  }
  // A version word, then entries of tag, permission and id, all little-endian.
  const auto word = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | acl[at + size_t(i)];
    return v;
  };
  if (acl.size() < 4 || (acl.size() - 4) % 8 != 0 || word(0, 4) != POSIX_ACL_XATTR_VERSION)
    return Refused::OthersMayWrite;
  entries.clear();
  for (size_t at = 4; at < acl.size(); at += 8) entries.push_back({word(at, 2), word(at + 2, 2), word(at + 4, 4)});
  return Refused::Nothing;
}

// With an ACL the mode's group bits are its mask, and the named entries and
// the owning group's get no more than it.
uint32_t MaskOf(const std::vector<AclEntry>& entries) {
  for (const AclEntry& e : entries)
    if (e.tag == ACL_MASK) return e.perm;
  return ACL_READ | ACL_WRITE | ACL_EXECUTE;
}

// The owner aside, who may write: another owner, anyone, a group other than
// the owner's own, or whoever an ACL names.
bool OthersMayWrite(const struct stat& st, const std::vector<AclEntry>& entries, const Account& owner) {
  if (st.st_uid != owner.uid && st.st_uid != 0) return true;
  const uint32_t mask = MaskOf(entries);
  for (const AclEntry& e : entries) {
    if (!(e.perm & ACL_WRITE)) continue;
    if (e.tag == ACL_OTHER) return true;
    if (!(mask & ACL_WRITE)) continue;
    if (e.tag == ACL_GROUP_OBJ && !OwnersAlone(st.st_gid, owner)) return true;
    if (e.tag == ACL_GROUP && !OwnersAlone(gid_t(e.id), owner)) return true;
    if (e.tag == ACL_USER && e.id != owner.uid && e.id != 0) return true;
  }
  return false;
}

// Whether the owner, as the unit runs it, may do all of `want`, the entries
// taken as the kernel takes them, with no capability to pass them by. Its
// primary group is the one that matters: any other group that may write is
// refused before.
bool OwnerMay(const struct stat& st, const std::vector<AclEntry>& entries, const Account& owner, uint32_t want) {
  const uint32_t mask = MaskOf(entries);
  const auto grants = [want](uint32_t perm) { return (perm & want) == want; };
  bool member = false;
  for (const AclEntry& e : entries) {
    if (e.tag == ACL_USER_OBJ && st.st_uid == owner.uid) return grants(e.perm);
    if (e.tag == ACL_USER && e.id == owner.uid && st.st_uid != owner.uid) return grants(e.perm & mask);
  }
  for (const AclEntry& e : entries) {
    if ((e.tag == ACL_GROUP_OBJ && st.st_gid == owner.gid) || (e.tag == ACL_GROUP && e.id == owner.gid)) {
      member = true;
      if (grants(e.perm & mask)) return true;
    }
  }
  for (const AclEntry& e : entries)
    if (e.tag == ACL_OTHER && !member) return grants(e.perm);
  return false;
}

// One step of the way, open at fd: who could change it, and whether the
// owner, as the unit runs it, may do `want` with it.
Refused CheckStep(int fd, const struct stat& st, const Account& owner, uint32_t want, Refused otherwise) {
  std::vector<AclEntry> access;
  const Refused why = ReadAccess(fd, st, access);
  if (why != Refused::Nothing) return why;
  if (OthersMayWrite(st, access, owner)) return Refused::OthersMayWrite;
  return OwnerMay(st, access, owner, want) ? Refused::Nothing : otherwise;
}

// The program and the folders above it: no account other than the owner
// and root could change any of them, the owner can run the one and reach it
// through the others, and can write the program folder, where the daemon
// keeps its log and markers. The path comes from the running program and
// has no link in it: a link in the way now is a way that someone changed.
Refusal CheckWay(int program, const struct stat& st, const std::string& path, const Account& owner) {
  if (const Refused why = CheckStep(program, st, owner, ACL_EXECUTE, Refused::NoAccess); why != Refused::Nothing)
    return {why, path};
  const std::string folder = DirectoryOf(path);
  // The same rule as sshd's for its keys: every step of the way belongs to
  // the owner or root, and no one else may write it.
  for (std::string at = folder;; at = DirectoryOf(at)) {
    struct stat dir;
    const Fd step(open(at.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (step.Get() < 0 || fstat(step.Get(), &dir) != 0 || !S_ISDIR(dir.st_mode)) return {Refused::OthersMayWrite, at};
    const Refused why = at == folder
                            ? CheckStep(step.Get(), dir, owner, ACL_WRITE | ACL_EXECUTE, Refused::OwnerMayNotWrite)
                            : CheckStep(step.Get(), dir, owner, ACL_EXECUTE, Refused::NoAccess);
    if (why != Refused::Nothing) return {why, at};
    if (at == "/" || at == ".") return {};
  }
}

bool Within(const std::string& folder, const std::string& top) {
  return top == "/" || folder == top || folder.compare(0, top.size() + 1, top + "/") == 0;
}

}  // namespace

// Hidden, a top-level folder or one of the trees the system runs from would
// take the daemon's loader, libraries or settings with it, and the unit would
// never start.
bool SystemsOwn(const std::string& folder) {
  static const char* const kTrees[] = {"/usr", "/etc", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32",
                                       "/boot", "/dev", "/proc", "/sys", "/run"};
  if (folder.find('/', 1) == std::string::npos) return true;
  for (const char* tree : kTrees)
    if (Within(folder, tree)) return true;
  return false;
}

HomeWay HomeWayTo(const std::string& folder, const std::string& own, const std::vector<std::string>& homes) {
  for (const std::string& home : homes) {
    const std::string target = RealPath(home);
    if (!target.empty() && target != "/" && Within(folder, target))
      return {target != home ? home + folder.substr(target.size()) : std::string(), std::string(), std::string()};
  }
  HomeWay way;
  // The nearest, whatever the order of the entries.
  const auto consider = [&](const std::string& home, const std::string& leads) {
    if (!leads.empty() && Within(folder, leads) && leads.size() > way.hidden.size()) way = {std::string(), leads, home};
  };
  const std::string linked = RealPath(homes.front());
  if (DIR* d = linked.empty() ? nullptr : opendir(linked.c_str())) {
    while (const dirent* e = readdir(d)) {
      struct stat st;
      const std::string entry = linked + "/" + e->d_name;
      if (e->d_name[0] != '.' && lstat(entry.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        consider(homes.front() + "/" + e->d_name, RealPath(entry));
    }
    closedir(d);
  }
  if (!own.empty()) consider(own, RealPath(own));
  return way;
}

Refusal PrepareInstall(int program, ServiceDefinition& service) {
  struct stat st, named;
  if (fstat(program, &st) != 0) throw SystemError(errno);
  const std::string& path = service.binaryPath;
  // The name may lead elsewhere since the program started: swapped for a
  // link, or for another file.
  if (lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_dev != st.st_dev ||
      named.st_ino != st.st_ino)
    return {Refused::NotTheProgram, path};
  service.user.clear();
  service.group.clear();
  Account owner{"root", 0, 0};
  // systemd would refuse to start a unit whose user it cannot find.
  if (!AccountById(st.st_uid, owner) && st.st_uid != 0) return {Refused::UnknownOwner, path, st.st_uid};
  if (st.st_uid != 0) {
    service.user = UserText(owner);
    service.group = GroupText(owner.gid);
  }
  // What the program writes in its folder it appends to or replaces only as
  // a regular file of its own with no other name: anything else there now
  // would fail the first start.
  const std::string folder = DirectoryOf(path);
  for (const std::string& name : service.ownFiles) {
    const std::string file = (folder == "/" ? "" : folder) + "/" + name;
    struct stat own;
    if (lstat(file.c_str(), &own) == 0 ? !OwnFileAlone(own, owner.uid) : errno != ENOENT)
      return {Refused::NotOwners, file};
  }
  if (Refusal way = CheckWay(program, st, path, owner); way.why != Refused::Nothing) return way;
  // systemd takes a home of "/", as service accounts have, for none.
  const bool homeless = owner.home.find_first_not_of('/') == std::string::npos;
  const HomeWay way = HomeWayTo(folder, homeless ? std::string() : owner.home);
  if (!way.hidden.empty() && SystemsOwn(way.hidden)) return {Refused::SystemFolder, way.home, 0, way.hidden};
  service.folderRoute = way.route;
  service.hiddenHome = way.hidden;
  return {};
}

bool HoldsRunningCode(int program) {
  struct stat st, mapped;
  if (fstat(program, &st) != 0) return false;
  const auto code = reinterpret_cast<uintptr_t>(&HoldsRunningCode);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long start, end, major, minor, inode;
    if (std::sscanf(line.c_str(), "%lx-%lx %*s %*s %lx:%lx %lu", &start, &end, &major, &minor, &inode) != 5 ||
        code < start || code >= end)
      continue;
    // The mapped file itself, where this may follow it; else the numbers
    // the list gives, which on btrfs name the file system, not the subvolume.
    if (stat(("/proc/self/map_files/" + line.substr(0, line.find(' '))).c_str(), &mapped) != 0) {
      mapped.st_dev = makedev(major, minor);
      mapped.st_ino = inode;
    }
    return mapped.st_dev == st.st_dev && mapped.st_ino == st.st_ino;
  }
  return false;
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

}  // namespace plat

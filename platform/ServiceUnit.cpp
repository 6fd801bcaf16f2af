#include "ServiceUnit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// One word of a unit-file setting: "%" would start a specifier, blanks would
// split the word, and control bytes would end the line.
std::string UnitWord(const std::string& path) {
  std::string body;
  bool quote = false;
  for (unsigned char ch : path) {
    if (ch == '%') {
      body += "%%";
    } else if (ch == '\\' || ch == '"') {
      body += '\\';
      body += char(ch);
    } else if (ch < 0x20 || ch == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", ch);
      body += hex;
    } else {
      if (ch == ' ' || ch == '\'') quote = true;
      body += char(ch);
    }
  }
  return quote ? "\"" + body + "\"" : body;
}

bool Under(const std::string& path, const std::string& dir) {
  return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

const char* const kTarget = "multi-user.target";

}  // namespace

std::string UnitFileText(const ServiceDefinition& service) {
  const std::string dir = DirectoryOf(service.binaryPath);
  // The program directory holds the configuration, the log and the marker
  // files; home directories stay hidden unless the program lives there.
  const bool inHome = Under(dir, "/home") || Under(dir, "/root") || Under(dir, "/run/user");
  // The program folder may belong to the user of the desktop program: root
  // writes there only with CAP_DAC_OVERRIDE, and the configuration writer
  // hands the file back with fchown (CAP_CHOWN) and then sets its mode on a
  // file that is no longer root's (CAP_FOWNER). Netlink stays: the resolver
  // asks the kernel for the local addresses through it (nss-myhostname).
  return "[Unit]\n"
         "Description=" + service.displayName + "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + UnitWord(service.binaryPath) + "\n"
         "UMask=0077\n"
         "CapabilityBoundingSet=CAP_CHOWN CAP_DAC_OVERRIDE CAP_FOWNER\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=" + UnitWord(dir) + "\n"
         "PrivateTmp=yes\n"
         "ProtectHome=" + (inHome ? "read-only" : "yes") + "\n"
         "PrivateDevices=yes\n"
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

ServiceManager::ServiceManager(std::string directory) : dir_(std::move(directory)) {
  struct stat st;
  if (stat(dir_.c_str(), &st) != 0) throw SystemError(errno);
  if (!S_ISDIR(st.st_mode)) throw SystemError(ENOTDIR);
  if (access(dir_.c_str(), W_OK) != 0) throw SystemError(errno);
}

void ServiceManager::CreateService(const ServiceDefinition& service) {
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

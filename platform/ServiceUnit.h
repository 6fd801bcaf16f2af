// The service manager as an installer sees it: systemd unit files in a unit
// directory, enabled through the wants link of their target; the command-line
// switches, and what an install must refuse.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace plat {

// An argument, anywhere, that is "/" or "-" and the word, in any case.
bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& word);

// The system's text for an errno value, in the locale's language.
std::string SysErrorMessage(int code);

// "Systemfehler.  Code: <code>." CR LF <the system's text>; for code 0
// "Ein Aufruf einer Betriebssystemfunktion ist fehlgeschlagen".
class SystemError : public std::runtime_error {
public:
  explicit SystemError(int code);
  int Code() const { return code_; }

private:
  int code_;
};

struct ServiceDefinition {
  std::string name;         // the unit is <name>.service
  std::string displayName;  // its Description
  std::string binaryPath;   // the program file, a full path
  std::string user{};       // the account it runs as, a name or a number; empty: root
  std::string group{};
  std::string folderRoute{};  // the program folder as reached through a linked home folder, if it is
  std::string hiddenHome{};   // where a home folder's own link leads, hidden but for the program folder
  std::vector<std::string> ownFiles{};  // the names it writes in its folder, its log and markers
};

// The unit: Type=notify, started with the machine (multi-user.target), run
// as the given account without any capability, and hardened so that it can
// write only beside the program.
std::string UnitFileText(const ServiceDefinition& service);

// How systemd's hidden home locations meet the program folder. A home
// location that is a link leading to or above it: systemd hides the place
// the link leads to, and binds the folder back only when it reaches it the
// same way, so route is the folder as reached through the link
// ("/home/kim/x" for "/var/home/kim/x" where /home leads to /var/home).
// Outside the locations, the nearest home that holds it: a link in the
// first location (/home/lee leading to /opt/lee-home), or the owner's own
// home folder. systemd hides neither, so hidden is where it leads, for the
// unit to hide as well, and home is the link or the owner's home.
struct HomeWay {
  std::string route, hidden, home;
};
HomeWay HomeWayTo(const std::string& folder, const std::string& own,
                  const std::vector<std::string>& homes = {"/home", "/root", "/run/user"});
// A folder the unit must not hide: the daemon starts from what is in it.
bool SystemsOwn(const std::string& folder);

// Why a program must not be installed, and where.
enum class Refused {
  Nothing,
  NotTheProgram,     // path no longer leads to the program that runs
  UnknownOwner,      // the owner of path, account number owner, has no account
  OthersMayWrite,    // an account other than the owner and root could change path
  CannotTell,        // who may change path is decided where no one here can see
  OwnerMayNotWrite,  // path is the program folder, and its owner cannot write there
  NoAccess,          // the owner cannot run path, the program, or pass through it, a folder above
  NotOwners,         // path, one of the own files, is there but no regular file of the owner's alone
  SystemFolder,      // the home path leads to leadsTo, a folder the system needs
};
struct Refusal {
  Refused why = Refused::Nothing;
  std::string path{};
  uid_t owner = 0;
  std::string leadsTo{};
  bool operator==(const Refusal&) const = default;
};

// Whether the file open at program holds the code that runs: not so for a
// program started through the loader (ld.so ./corvilinkd), where
// /proc/self/exe is the loader.
bool HoldsRunningCode(int program);

// Readies the unit of the program that runs (`program`, a descriptor open on
// it) at service.binaryPath: it runs as the program's owner, whoever can
// replace the file gets no more than their own rights from it, and it can
// start. Everything is taken from the running program, never from a name
// that could be swapped meanwhile. Returns why it must not be installed, or
// Refused::Nothing when it may. Throws SystemError when the program cannot
// be examined.
Refusal PrepareInstall(int program, ServiceDefinition& service);

inline const char* const kUnitDirectory = "/etc/systemd/system";

// The unit directory, opened the way a service control manager is.
class ServiceManager {
public:
  // Throws SystemError when the directory is missing or not writable.
  explicit ServiceManager(std::string directory = kUnitDirectory);

  // Writes the unit and its wants link; then systemd reloads, if it runs and
  // this is its directory. Throws SystemError (EEXIST: the unit is there).
  void CreateService(const ServiceDefinition& service);
  // Removes the wants link and the unit; a running service goes on. Throws
  // SystemError (ENOENT: there is no such unit).
  void DeleteService(const std::string& name);

private:
  void Reload() const;
  std::string dir_;
};

}  // namespace plat

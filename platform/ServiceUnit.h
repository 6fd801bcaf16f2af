// The service manager as an installer sees it: systemd unit files in a unit
// directory, enabled through the wants link of their target; the command-line
// switches and the texts of an install or uninstall run.
#pragma once

#include <ostream>
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
};

// The unit: Type=notify, started with the machine (multi-user.target), run
// as the given account without any capability, and hardened so that it can
// write only beside the program.
std::string UnitFileText(const ServiceDefinition& service);

// The folder as reached through the first of the home locations that is a
// link leading to or above it: "/home/kim/x" for "/var/home/kim/x" where
// /home leads to /var/home. Empty when none does. systemd hides a home
// location where its link leads, and binds the folder back only when it
// reaches it the same way.
std::string HomeRoute(const std::string& folder,
                      const std::vector<std::string>& homes = {"/home", "/root", "/run/user"});

// Runs the service as the program file's owner: whoever can replace the file
// gets no more than their own rights from it. Their primary group; a name
// where the user database has a plain one, else the number. Throws
// SystemError when the file cannot be examined.
void RunAsProgramOwner(ServiceDefinition& service);

// The first of the file and the folders above it that an account other than
// the file's owner and root could change: one owned by another account, with
// a group or other write bit, or with an ACL that grants another account
// write. Empty when there is none.
std::string WritableByOthers(const std::string& path);

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

// A run with INSTALL (install true) or UNINSTALL: each service's failure text
// on err, the success text on out when all went well and silent is false.
// Throws SystemError when the unit directory cannot be opened.
void RegisterServices(bool install, bool silent, const std::vector<ServiceDefinition>& services,
                      const std::string& directory, std::ostream& out, std::ostream& err);

}  // namespace plat

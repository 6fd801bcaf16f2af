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
};

// The unit: Type=notify, started with the machine (multi-user.target), and
// hardened so that it can write only beside the program, with no capability
// but those the files there need.
std::string UnitFileText(const ServiceDefinition& service);

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

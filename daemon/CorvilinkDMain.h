// corvilinkd: the update engine as a systemd service.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "EventLog.h"
#include "ServiceUnit.h"

namespace corvilink {

class TCorvilinkC;

// The service object. The engine objects belong to the program; this one only
// switches the engine into daemon behaviour and starts and stops it.
class TCorvilinkDaemon {
public:
  explicit TCorvilinkDaemon(TCorvilinkC& engine) : engine_(engine) {}

  const std::string Name = "CorvilinkDaemon";
  const std::string DisplayName = "Corvilink Daemon";
  // The service source of the event log.
  const plat::EventLog EventLog{"CorvilinkDaemon"};

  // started and stopped arrive true. A start answered false ends the service;
  // a stop answered false cannot be refused under systemd: it ends the process
  // as a failed stop.
  void ServiceStart(bool& started);
  void ServiceStop(bool& stopped);

private:
  TCorvilinkC& engine_;
};

// A run with INSTALL (install true) or UNINSTALL: each service's failure text
// on err, the success text on out when all went well and silent is false.
// False when a service failed. Throws plat::SystemError when the unit
// directory cannot be opened.
bool RegisterServices(bool install, bool silent, const std::vector<plat::ServiceDefinition>& services,
                      const std::string& directory, std::ostream& out, std::ostream& err);

// The program block: creates everything, then installs, uninstalls or runs
// as the service. The process's exit code.
int DaemonMain(int argc, char** argv);

}  // namespace corvilink

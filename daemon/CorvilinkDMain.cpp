#include "CorvilinkDMain.h"

#include <fcntl.h>
#include <uv.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "Common.h"
#include "IniFile.h"
#include "Notify.h"
#include "ServiceUnit.h"
#include "UvLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

namespace corvilink {

void TCorvilinkDaemon::ServiceStart(bool& /*started*/) {
  Values.IsDaemon = true;
  engine_.loop.Sleep(10);
  Values.Mode = "Daemon";
  engine_.StartEngine("D");
}

void TCorvilinkDaemon::ServiceStop(bool& /*stopped*/) { engine_.StopEngine(); }

namespace {

// The service's life on the one loop, as systemd drives it: the start, then
// the requests that arrive as signals, each state reported as it changes.
class ServiceRun {
public:
  ServiceRun(plat::UvLoop& loop, TCorvilinkDaemon& service) : loop_(loop), service_(service) {}

  // Returns when the service has stopped, or failed to start.
  void Execute() {
    // The desktop session going away ends no service.
    std::signal(SIGHUP, SIG_IGN);
    // Watched before the start, so that a stop request made meanwhile waits
    // for its turn instead of killing the process.
    for (int signum : {SIGTERM, SIGTSTP, SIGCONT}) Watch(signum);

    Report(State::StartPending);
    bool started = true;
    try {
      service_.ServiceStart(started);
    } catch (const std::exception& e) {
      service_.EventLog.Error(std::string("Service fehlgeschlagen bei start:") + e.what());
      started = false;
    }
    if (!started) {
      Finish();
      return;
    }
    Report(State::Running);
    loop_.Run();
  }

private:
  enum class State { StartPending, Running, PausePending, Paused, ContinuePending, StopPending, Stopped };

  void Watch(int signum) {
    auto* handle = new uv_signal_t;
    uv_signal_init(loop_.Raw(), handle);
    handle->data = this;
    uv_signal_start(
        handle, [](uv_signal_t* h, int s) { static_cast<ServiceRun*>(h->data)->Request(s); }, signum);
    signals_.push_back(handle);
  }

  void Request(int signum) {
    if (signum == SIGTERM && (state_ == State::Running || state_ == State::Paused)) {
      Report(State::StopPending);
      bool stopped = true;
      try {
        service_.ServiceStop(stopped);
      } catch (const std::exception& e) {
        service_.EventLog.Error(std::string("Service fehlgeschlagen bei stop:") + e.what());
        stopped = false;
      }
      // systemd never takes a stop back: a service that stays would only be
      // killed after the stop time-out, its failure unrecorded. Ending now
      // with a failure code is what systemd can record as a failed stop.
      if (!stopped) std::_Exit(1);
      Finish();
      uv_stop(loop_.Raw());
    } else if (signum == SIGTSTP && state_ == State::Running) {
      // Pausing changes only what the service manager is told: the engine's
      // timers and sockets go on.
      Report(State::PausePending);
      Report(State::Paused);
    } else if (signum == SIGCONT && state_ == State::Paused) {
      Report(State::ContinuePending);
      Report(State::Running);
    }
  }

  void Finish() {
    for (uv_signal_t* h : signals_)
      uv_close(reinterpret_cast<uv_handle_t*>(h), [](uv_handle_t* x) { delete reinterpret_cast<uv_signal_t*>(x); });
    signals_.clear();
    Report(State::Stopped);
  }

  void Report(State state) {
    const bool wasStarting = state_ == State::StartPending;
    state_ = state;
    std::string message;
    switch (state) {
      case State::StartPending: message = "STATUS=start pending"; break;
      case State::Running: message = wasStarting ? "READY=1\nSTATUS=running" : "STATUS=running"; break;
      case State::PausePending: message = "STATUS=pause pending"; break;
      case State::Paused: message = "STATUS=paused"; break;
      case State::ContinuePending: message = "STATUS=continue pending"; break;
      case State::StopPending: message = "STOPPING=1\nSTATUS=stop pending"; break;
      case State::Stopped: message = "STATUS=stopped"; break;
    }
    const int err = plat::NotifyServiceManager(message);
    if (err != 0) service_.EventLog.Error(plat::SysErrorMessage(err));
  }

  plat::UvLoop& loop_;
  TCorvilinkDaemon& service_;
  State state_ = State::StartPending;
  std::vector<uv_signal_t*> signals_;
};

// Why the program is not installed, in the system's words.
std::string RefusalText(const plat::Refusal& refusal, const plat::ServiceDefinition& definition) {
  const std::string path = "\"" + refusal.path + "\"";
  const std::string& user = definition.user;
  const std::string who = user.empty() ? "root" : user;
  switch (refusal.why) {
    case plat::Refused::NotTheProgram: return path + " ist nicht mehr das laufende Programm";
    case plat::Refused::UnknownOwner:
      return "Der Besitzer von " + path + ", Konto " + std::to_string(refusal.owner) + ", ist dem System unbekannt";
    case plat::Refused::OthersMayWrite:
      return "Andere Konten als " + (user.empty() ? "root" : user + " und root") + " haben Schreibrechte auf " + path;
    case plat::Refused::CannotTell: return "Wer " + path + " ändern darf, lässt sich nicht prüfen";
    case plat::Refused::OwnerMayNotWrite: return who + " hat keine Schreibrechte auf " + path;
    case plat::Refused::NoAccess: return who + " hat keinen Zugriff auf " + path;
    case plat::Refused::NotOwners: return path + " gehört nicht " + who + " allein";
    case plat::Refused::SystemFolder:
      return "Der Home-Ordner " + path + " ist \"" + refusal.leadsTo + "\", ein Ordner des Systems";
    case plat::Refused::Nothing: break;
  }
  return std::string();
}

// The unit runs the program that runs now, as its owner, and only from where
// no one else could have put another program in its place.
bool ReadyToInstall(plat::ServiceDefinition& definition) {
  // The running program's own inode: a name could lead elsewhere by now.
  const plat::Fd program(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  if (program.Get() < 0) throw plat::SystemError(errno);
  const plat::Refusal refusal = plat::HoldsRunningCode(program.Get())
                                    ? plat::PrepareInstall(program.Get(), definition)
                                    : plat::Refusal{plat::Refused::NotTheProgram, definition.binaryPath};
  if (refusal.why == plat::Refused::Nothing) return true;
  std::cerr << "Service \"" << definition.displayName << "\" wird nicht installiert: "
            << RefusalText(refusal, definition) << std::endl;
  return false;
}

}  // namespace

bool RegisterServices(bool install, bool silent, const std::vector<plat::ServiceDefinition>& services,
                      const std::string& directory, std::ostream& out, std::ostream& err) {
  plat::ServiceManager manager(directory);
  bool failed = false;
  for (const plat::ServiceDefinition& service : services) {
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

int DaemonMain(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  plat::SetVersionBlock(&kDaemonVersion);
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  // The program source of the event log.
  const plat::EventLog programLog(ExeBaseName());

  try {
    plat::UvLoop loop;
    TCorvilinkC engine(loop);
    TCorvilinkDaemon service(engine);
    [[maybe_unused]] TCorvilinkProc proc;

    plat::ServiceDefinition definition{service.Name, service.DisplayName, AppDirectory() + "/" + ExeBaseName()};
    // The log, the marker and the writers' lock the daemon makes beside itself.
    definition.ownFiles = {ExeBaseName() + ".log", "CorvilinkD.run", plat::IniFile::kLockName};
    const bool silent = plat::FindCmdLineSwitch(args, "SILENT");
    if (plat::FindCmdLineSwitch(args, "INSTALL")) {
      // A script hears of a failure from the exit code alone.
      if (!ReadyToInstall(definition)) return 1;
      if (!RegisterServices(true, silent, {definition}, plat::kUnitDirectory, std::cout, std::cerr)) return 1;
    } else if (plat::FindCmdLineSwitch(args, "UNINSTALL")) {
      if (!RegisterServices(false, silent, {definition}, plat::kUnitDirectory, std::cout, std::cerr)) return 1;
    } else {
      ApplicationHandleException = [&programLog](const std::exception& e) { programLog.Error(e.what()); };
      if (plat::UnderServiceManager()) {
        ServiceRun(loop, service).Execute();
      } else {
        programLog.Error("Der Dienstprozess konnte keine Verbindung zum Dienstcontroller herstellen");
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "Anwendungsfehler: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace corvilink

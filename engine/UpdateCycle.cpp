// The ticks that open the update and IP-query connections, the resolution of
// the update server, the server-ordered sleep and exit, and the socket errors.
#include <functional>
#include <string>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "Endpoints.h"
#include "dtools.h"

namespace corvilink {

void TCorvilinkC::UpdateFailure() {
  Values.ec += 1;
  TimerDNS.SetEnabled(true);
}

void TCorvilinkC::MyIPFailure() {
  bool wasOdd = Values.ec2 % 2 == 1;
  Values.ec2 += 1;
  if (wasOdd) TimerDNS.SetEnabled(true);
}

void TCorvilinkC::CaughtError() { Values.ec3 += 1; }

namespace {

bool AccountIncomplete() {
  return Values.Account.size() < 2 || Values.Domain.size() < 4 || Values.Passwd.size() < 3;
}

// The steps both network ticks take before they connect; false when one stops
// the tick, with the tick's own line where it logs.
bool MayConnect(const char* clientRunningLine, const char* offlineLine) {
  if (Values.IsDaemon && Values.WindowsClientRunning) {
    WriteLog(clientRunningLine, 40);
    return false;
  }
  LoadConfig();
  if (AccountIncomplete()) return false;
  if (Values.Offline) {
    WriteLog(offlineLine, 40);
    return false;
  }
  return true;
}

// What the update and the IP-query tick connect to, and what their failures
// log and count.
struct Connection {
  plat::WSocket& socket;
  std::string addr;
  const char* port;
  // Runs once the port is set: the update tick's choice of another one.
  std::function<void()> choosePort = nullptr;
  std::string closingAlert;
  const char* setupAlert = nullptr;
  const char* otherAlert = nullptr;
  void (TCorvilinkC::*failure)() = nullptr;
};
void Connect(TCorvilinkC& engine, const Connection& c);

}  // namespace

void TCorvilinkC::TimerSetIPTimer() {
  // The daemon takes over changes of the file, the error flag included, even
  // when a flag stops the tick.
  if (Values.Mode == "Daemon") LoadConfig();
  TimerSetIP.SetInterval(30000);
  if (Values.Sleeping || Values.Deactivated || Values.ConfigError) return;
  WriteLog("Debug    ..... setIP socket [" + Values.UpdateServerAddress + "]", 40);
  if (!MayConnect("Debug    no SetIP cause Windows Client is runnig", "Debug    no SetIP cause offline mode"))
    return;
  if (!IsIPv4Text(Values.UpdateServerAddress) || Values.UpdateServerAddress == "0.0.0.0") {
    UpdateFailure();
    WriteLog("Debug    no SetIP cause no valid socket IP", 40);
    return;
  }
  // The reply arms the own-host check again.
  TimerDNSCheck.SetEnabled(false);
  Connect(*this, {.socket = SSetIP,
                  .addr = Values.UpdateServerAddress,
                  .port = endpoints::kUpdatePort,
                  // Judged after the close, whose failure counts too.
                  .choosePort =
                      [this] {
                        if (Values.ec % 5 == 0 && Values.ec >= 5) {
                          WriteLog(">>>>>    setIP using Port 80", 30);
                          SSetIP.SetPort(endpoints::kUpdateFallbackPort);
                        }
                      },
                  .closingAlert = "Alert!   setIP socket closing Exception [" + Values.UpdateServerAddress + "]",
                  .setupAlert = "Alert!   setIP Exception 2",
                  .otherAlert = "Alert!   setIP Exception",
                  .failure = &TCorvilinkC::UpdateFailure});
}

void TCorvilinkC::TimerMyIPTimer() {
  TimerMyIP.SetInterval(30000);
  if (Values.Sleeping || Values.Deactivated || Values.ConfigError || Values.MyIPServerAddress == "0.0.0.0") return;
  WriteLog("Debug    ..... myIP socket [" + Values.MyIPServerAddress + "]", 40);
  if (!MayConnect("Debug    no myIP cause Windows Client is runnig", "Debug    no myIP cause offline mode")) return;
  // Logged only: unlike the update tick, this one goes on.
  if (!IsIPv4Text(Values.MyIPServerAddress) || Values.MyIPServerAddress == "0.0.0.0")
    WriteLog("Debug    no myIP cause no valid socket IP", 40);
  Connect(*this, {.socket = SMyIP,
                  .addr = Values.MyIPServerAddress,
                  .port = endpoints::kMyIPPort,
                  .closingAlert = "Alert!   myIP socket closing Exception",
                  .setupAlert = "Alert!   myIP Exception 2",
                  .otherAlert = "Alert!   myIP Exception",
                  .failure = &TCorvilinkC::MyIPFailure});
}

namespace {

// The connection steps of both network ticks, in three layers: a failed close
// goes on to the set-up, a failed set-up ends the attempt, and whatever else
// escapes either is caught around both. Each layer counts, then logs; a log
// that fails there reaches no outer layer to be counted again.
void Connect(TCorvilinkC& engine, const Connection& c) {
  const auto failed = [&engine, &c](const std::string& alert, const std::exception& e) {
    (engine.*c.failure)();
    engine.CaughtError();
    WriteAlert(alert, e.what());
  };
  try {
    if (c.socket.State() != plat::SocketState::Closed) {
      try {
        c.socket.Close();
      } catch (const std::exception& e) {
        failed(c.closingAlert, e);
      }
    }
    try {
      c.socket.SetProto("tcp");
      c.socket.SetAddr(c.addr);
      c.socket.SetPort(c.port);
      if (c.choosePort) c.choosePort();
      c.socket.Connect();
    } catch (const std::exception& e) {
      failed(c.setupAlert, e);
    }
  } catch (const std::exception& e) {
    failed(c.otherAlert, e);
  }
}

}  // namespace

void TCorvilinkC::TimerTimerDNS() {
  static const char* const kLookupLines[4] = {
      ">>>>>    DNS Lookup setIP (base)",
      ">>>>>    DNS Lookup setIP (2nd)",
      ">>>>>    DNS Lookup setIP (3rd)",
      ">>>>>    DNS Lookup setIP (4th)",
  };
  WriteLog("Debug    ..... DNS ", 40);
  // One shot: every failure rule arms it again.
  TimerDNS.SetEnabled(false);
  try {
    unsigned host = Values.ec & 3;
    TryWriteLog(kLookupLines[host], 30);
    SSetIP.DnsLookup(endpoints::kUpdateHosts[host]);
  } catch (const std::exception& e) {
    CaughtError();
    WriteAlert("Alert!   DNSTimer Exception", e.what());
  }
}

static std::string FirstResult(const plat::WSocket& socket) {
  const auto& list = socket.DnsResultList();
  return list.empty() ? std::string() : list.front();
}

void TCorvilinkC::SSetIPDnsLookupDone(uint16_t errCode) {
  // Only reports, after the address is taken: a log that fails here must
  // not reach the socket's error path, which would look up again at once.
  TryWriteLog("Debug    ..... setIP DNS lookup done", 40);
  if (errCode != 0) {
    Values.DNSProblem += 1;
    Values.UpdateServerAddress = Values.SetIPFallback[0];
    TryWriteLog(">>>>>    DNS Lookup fail (SetIP)! Using: " + Values.UpdateServerAddress, 20);
  } else {
    Values.UpdateServerAddress = FirstResult(SSetIP);
    TryWriteLog(">>>>>    DNS Lookup success (SetIP)! [" + Values.UpdateServerAddress + "]", 20);
  }
}

void TCorvilinkC::SMyIPDnsLookupDone(uint16_t errCode) {
  TryWriteLog("Debug    ..... myIP DNS lookup done", 40);
  if (errCode != 0) {
    Values.DNSProblem += 1;
    Values.MyIPServerAddress = Values.MyIPFallback[Random(2)];
    TryWriteLog(">>>>>    DNS Lookup fail (MyIP)! Using: " + Values.MyIPServerAddress, 20);
  } else {
    Values.MyIPServerAddress = FirstResult(SMyIP);
    TryWriteLog(">>>>>    DNS Lookup success (MyIP)! [" + Values.MyIPServerAddress + "]", 20);
  }
}

void TCorvilinkC::TimerSleepTimer() {
  WriteLog("Debug    ..... Sleep Wakeup ", 40);
  Values.Sleeping = false;
  TimerSleep.SetEnabled(false);
}

void TCorvilinkC::TimerKillTimer() {
  // The server's order stands even where its line can't be written.
  TryWriteLog(">>>>>    Auto exit!", 10);
  loop.ExitProcess(0);
}

// The error events count first and log after. An error event comes within a
// socket call of a tick or a handler: a failed log line must not reach that
// caller's error path, which would count it again.
void TCorvilinkC::SMyIPError() {
  MyIPFailure();
  TryWriteLog("Alert!   myIP-Error", 20);
}

void TCorvilinkC::SSetIPError() {
  UpdateFailure();
  TryWriteLog("Alert!   setIP-Error", 20);
}

void TCorvilinkC::SMyIPBgException(const std::exception&, bool& canClose) {
  MyIPFailure();
  canClose = true;
  TryWriteLog("Alert!   myIP-BG-Error", 20);
}

void TCorvilinkC::SSetIPBgException(const std::exception&, bool& canClose) {
  UpdateFailure();
  canClose = true;
  TryWriteLog("Alert!   setIP-BG-Error", 20);
}

void TCorvilinkC::SHeartBeatBgException(const std::exception&, bool& canClose) {
  canClose = true;
  TryWriteLog("Alert!   HeartBeat-BG-Error", 20);
}

void TCorvilinkC::SHeartBeatError() { TryWriteLog("Alert!   HeartBeat-Error", 20); }

void TCorvilinkC::SMyIPSocksError(int, const std::string& msg) {
  MyIPFailure();
  WriteAlert("Alert!   myIP-Socket-Error", msg);
}

void TCorvilinkC::SSetIPSocksError(int, const std::string& msg) {
  UpdateFailure();
  WriteAlert("Alert!   setIP-Socket-Error", msg);
}

}  // namespace corvilink

// The update request: built when the update connection stands, scrambled and
// sent as one line; then the retry interval by the error count.
#include <string>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "Endpoints.h"
#include "Md5.h"
#include "dtools.h"

namespace corvilink {

static uint32_t RetryInterval(uint32_t errors) {
  if (errors == 0) return 300000;
  if (errors <= 5) return 5000;
  if (errors <= 10) return 10000;
  if (errors <= 15) return 60000;
  return 300000;
}

void TCorvilinkC::SSetIPSessionConnected(uint16_t errCode) {
  WriteLog("Debug    ..... setIP session connected [" + Values.UpdateServerAddress + "]", 40);
  if (errCode != 0) {
    // Counted first: a log that fails here must not cost the retry below.
    UpdateFailure();
    TryWriteLog(">>>>>    setIP socket connect problem [" + Values.UpdateServerAddress + "]", 30);
  } else {
    LoadConfig();
    std::string body = "Account=" + Values.Account + "&Domain=" + Values.Domain;
    body += "&ec=" + std::to_string(Values.ec) + "&ec2=" + std::to_string(Values.ec2) +
            "&ec3=" + std::to_string(Values.ec3) + "&ec4=" + std::to_string(Values.ec4);
    body += "&DNSDiff=" + std::to_string(Values.DNSDiff) + "&DNSProblem=" + IntToText(Values.DNSProblem) +
            "&RIP=" + Values.ResolvedOwnIP + "&LIP=" + Values.LocalIPs;
    // The server makes the update when the line arrives: the notices on the
    // way must not keep it from going out where the log can't be written.
    if (Values.IPv6Enabled) {
      std::string url = std::string("http://") + endpoints::kIPv6TestHost + "/?" + Values.Account + "." + Values.Domain;
      if (loop.HttpGet(url, Values.IPv6Address)) {
        body += "&IPv6=" + Values.IPv6Address;
        TryWriteLog(">>>>>    IPv6 is " + Values.IPv6Address, 10);
      } else {
        TryWriteLog(">>>>>    no IPv6 available", 20);
      }
    }
    body += "&build=" + ReplaceAll(VersionInfoValue("FileVersion"), ".", "");
    body += "&os=" + OSDescription();
    body += "&lang=" + Values.Language;
    if (Values.Offline) {
      TryWriteLog(">>>>>    activating offline mode", 10);
      body += "&offline=1";
    }
    // The log never carries the client code, the session or the digest.
    TryWriteLog("Debug    setIP-Request: [" + body + "]", 40);
    body += "&Passwd=" + plat::Md5Hex(Values.Passwd);
    try {
      std::string line = "AuthCode=" + Values.AuthCode + "&Session=" + Values.Session + "&" + body;
      SSetIP.SendStr(ScrambleLine(line) + "\n");
    } catch (const std::exception& e) {
      CaughtError();
      WriteAlert("Alert!   setIP ROT13 Exception: ", e.what());
    }
  }
  TimerSetIP.SetInterval(RetryInterval(Values.ec));
  Values.ServerMessage.clear();
}

}  // namespace corvilink

// The own-host check (does the host name resolve to the detected address?)
// and the random look-up, both armed only by the update server.
#include <string>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "IniFile.h"

namespace corvilink {

void TCorvilinkC::TimerDNSCheckTimer() {
  WriteLog("Debug    ..... resolve my own IP ", 40);
  TimerDNSCheck.SetEnabled(false);
  LoadConfig();
  try {
    DNSCheck.DnsLookup(Values.Account + "." + Values.Domain);
  } catch (const std::exception& e) {
    CaughtError();
    WriteAlert("Alert!   DNSCheckTimer Exception", e.what());
  }
}

// Its lines only report: one that can't be written must not cost the reaction
// after it, nor the check's own re-arm.
void TCorvilinkC::DNSCheckDnsLookupDone(uint16_t errCode) {
  TryWriteLog("Debug    ..... resolve my own IP", 40);
  const std::vector<std::string>& result = DNSCheck.DnsResultList();
  if (result.empty() || errCode != 0) {
    Values.DNSProblem += 1;
    TryWriteLog(">>>>>    Can`t resolve my own IP!", 20);
    return;
  }
  const std::string r0 = result[0];
  const std::string r1 = result.size() > 1 ? result[1] : r0;
  const std::string r2 = result.size() > 2 ? result[2] : r0;
  Values.ResolvedOwnIP = r0;
  if (result.size() > 1) Values.ResolvedOwnIP += ", " + result[1];
  if (result.size() > 2) Values.ResolvedOwnIP += ", " + result[2];
  TryWriteLog("Debug    resolved my own IP: [" + Values.ResolvedOwnIP + "]", 40);

  // The service publishes this marker for a deactivated account.
  if (r0 == "127.0.0.9") {
    TryWriteLog(">>>>>    Der Account ist deaktiviert!  (DNS)", 10);
    Values.Deactivated = true;
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "DEACTIVATED", true);
    TimerDNSCheck.SetInterval(900000);
    TimerDNSCheck.SetEnabled(true);
    TimerSetIP.SetInterval(21600000);
    TimerSetIP.SetEnabled(true);
    TimerMyIP.SetInterval(0);
    TimerMyIP.SetEnabled(false);
    TimerDNSRandom.SetInterval(0);
    TimerDNSRandom.SetEnabled(false);
    return;
  }
  if (IsPrivateIPv4(r0)) {
    Values.DNSDiff = 999;
    TryWriteLog(">>>>>    resolved own IP is private!", 20);
    TryWriteLog(">>>>>    Please check your local DNS configuration!", 20);
    return;
  }
  if (Values.Deactivated) {
    Values.Deactivated = false;
    TimerSetIP.SetInterval(21600000);
    TimerSetIP.SetEnabled(true);
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "DEACTIVATED", false);
  }
  if (r0 != Values.DetectedIP && r1 != Values.DetectedIP && r2 != Values.DetectedIP) {
    // Six reactions at most in a row; a match starts the count again.
    if (Values.DNSDiff <= 5) {
      TryWriteLog(">>>>>    IP difference detected!", 20);
      UpdateSoon();
    }
    Values.DNSDiff += 1;
    return;
  }
  Values.DNSDiff = 0;
  Values.Deactivated = false;
  TimerDNSCheck.SetEnabled(true);
}

void TCorvilinkC::TimerDNSRandomTimer() {
  WriteLog("Debug    ..... resolve random domain", 40);
  TimerDNSRandom.SetEnabled(false);
  try {
    DNSRandom.DnsLookup(RandomLetters(6) + ".com");
  } catch (const std::exception& e) {
    CaughtError();
    WriteAlert("Alert!   DNSRandomTimer Exception", e.what());
  }
}

void TCorvilinkC::DNSRandomDnsLookupDone(uint16_t) {
  TryWriteLog("Debug    ..... resolve random domain done", 40);
  if (TimerDNSRandom.Interval() != 0) TimerDNSRandom.SetEnabled(true);
}

}  // namespace corvilink

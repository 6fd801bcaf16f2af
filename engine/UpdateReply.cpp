// The update reply: read it in one piece, switch the timers off, and carry
// out what it says, in a fixed order, ending in the success step.
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "IniFile.h"
#include "dtools.h"

namespace corvilink {

namespace {

// A key is present when its bare name occurs anywhere in the reply.
bool Present(const std::string& reply, const std::string& key) {
  return reply.find(key) != std::string::npos;
}

// SI, MI and CI: 1 to 5 characters and at least 2 seconds, else the default.
bool PeriodValue(const std::string& reply, const std::string& key, int32_t& seconds) {
  if (!Present(reply, key)) return false;
  std::string value = ReplyValue(key, reply);
  if (value.empty() || value.size() > 5) return false;
  seconds = TextToIntOrOne(value);
  return seconds >= 2;
}

// The reply's stages, in the order the handler carries them out.
std::string ReadReply(TCorvilinkC& engine, int n);
void ReplyAddress(TCorvilinkC& engine, const std::string& reply);
void ReplyTariffAndPeriods(const std::string& reply);
void ReplyHeartBeat(TCorvilinkC& engine, const std::string& reply);
void ReplyLookupTimers(TCorvilinkC& engine, const std::string& reply);
void ReplyIPv6(const std::string& reply);
void ReplyAccountCodes(const std::string& reply);
void ReplyServers(TCorvilinkC& engine, const std::string& reply);
void ReplyMessage(const std::string& reply);
bool ReplyCommands(TCorvilinkC& engine, const std::string& reply);
void ReplySuccess(TCorvilinkC& engine);

}  // namespace

void TCorvilinkC::SSetIPDataAvailable(uint16_t errCode) {
  WriteLog("Debug    ..... setIP data available", 40);
  if (errCode != 0) {
    WriteLog("Debug    setIP could not be done (a)", 40);
    UpdateFailure();
    return;
  }
  bool timersOff = false;
  try {
    int n = SSetIP.RcvdCount();
    if (n <= 0) {
      WriteLog("Debug    setIP could not be done (b)", 40);
      UpdateFailure();
      return;
    }
    const std::string reply = ReadReply(*this, n);
    TimersOff();
    timersOff = true;
    if (reply.compare(0, 3, "IP:") != 0) {
      WriteLog(">>>>>    Update Error!", 30);
      UpdateFailure();
      TimerSetIP.SetInterval(900000);
      TimerSetIP.SetEnabled(true);
      return;
    }
    ReplyAddress(*this, reply);
    ReplyTariffAndPeriods(reply);
    ReplyHeartBeat(*this, reply);
    ReplyLookupTimers(*this, reply);
    ReplyIPv6(reply);
    ReplyAccountCodes(reply);
    ReplyServers(*this, reply);
    ReplyMessage(reply);
    if (!ReplyCommands(*this, reply)) return;
    ReplySuccess(*this);
  } catch (const std::exception& e) {
    UpdateFailure();
    CaughtError();
    // One reply that fails, by a malformed value or by the log, must not end
    // all updates: retry as after an error reply.
    if (timersOff && !TimerSetIP.Enabled()) {
      TimerSetIP.SetInterval(900000);
      TimerSetIP.SetEnabled(true);
    }
    WriteAlert("Alert!   setIP DataAvailable Exception:", e.what());
  }
}

namespace {

std::string ReadReply(TCorvilinkC& engine, int n) {
  const std::string reply = ReadOnceAndClose(engine.SSetIP, n);
  WriteLog("Debug    setIP-Return: [" + reply.substr(0, reply.empty() ? 0 : reply.size() - 1) + "]", 40);
  return reply;
}

void ReplyAddress(TCorvilinkC& engine, const std::string& reply) {
  engine.TimerHeartBeat.SetEnabled(false);
  std::string ip = ReplyValue("IP", reply);
  if (IsIPv4Text(ip)) {
    Values.DetectedIP = ip;
    Values.LastDetectTime = DateTimeText(engine.loop.WallClock());
    ApplyAddressHistory();
  }
}

void ReplyTariffAndPeriods(const std::string& reply) {
  Values.Tariff = ReplyValue("DT", reply).substr(0, 255);
  int32_t seconds = 0;
  Values.SetIPInterval = 1800000;
  if (PeriodValue(reply, "SI", seconds)) Values.SetIPInterval = int32_t(TimerMs(int64_t(seconds) * 1000));
  Values.MyIPInterval = 60000;
  if (PeriodValue(reply, "MI", seconds)) Values.MyIPInterval = int32_t(TimerMs(int64_t(seconds) * 1000));
}

void ReplyHeartBeat(TCorvilinkC& engine, const std::string& reply) {
  Values.HeartBeatCode.clear();
  if (!Present(reply, "HI")) return;
  int32_t h = TextToIntOrOne(ReplyValue("HI", reply));
  if (h < 1 || h > 299) return;
  Values.HeartBeatInterval = h;
  engine.TimerHeartBeat.SetInterval(TimerMs(int64_t(h) * 1000));
  Values.HeartBeatCode = ReplyValue("HB", reply).substr(0, 255);
  if (Values.HeartBeatCode.size() != 20) Values.HeartBeatCode.clear();
}

void ReplyLookupTimers(TCorvilinkC& engine, const std::string& reply) {
  engine.TimerDNSRandom.SetEnabled(false);
  if (Present(reply, "RI")) {
    int32_t r = TextToIntOrOne(ReplyValue("RI", reply));
    if (r >= 1) {
      engine.TimerDNSRandom.SetInterval(TimerMs(int64_t(r) * 1000));
      engine.TimerDNSRandom.SetEnabled(true);
    }
  }
  engine.TimerDNSCheck.SetEnabled(false);
  int32_t seconds = 0;
  if (PeriodValue(reply, "CI", seconds)) {
    engine.TimerDNSCheck.SetInterval(TimerMs(int64_t(seconds) * 1000));
    engine.TimerDNSCheck.SetEnabled(true);
  }
}

// IPv6 reporting follows the server; the file keeps it for the next start.
void ReplyIPv6(const std::string& reply) {
  bool dv6Present = Present(reply, "Dv6");
  bool dv6On = ReplyValue("Dv6", reply) == "1";
  if (Values.IPv6Enabled && (!dv6Present || !dv6On)) {
    WriteLog(">>>>>    Dv6 1 > 0", 10);
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "Dv6", false);
    Values.IPv6Enabled = false;
  } else if (!Values.IPv6Enabled && dv6Present && dv6On) {
    WriteLog(">>>>>    Dv6 0 > 1", 10);
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "Dv6", true);
    Values.IPv6Enabled = true;
  }
}

void ReplyAccountCodes(const std::string& reply) {
  if (Present(reply, "KillInst") && ReplyValue("KillInst", reply) == Values.Session) {
    plat::IniFile ini(ConfigPath());
    ini.WriteString("ACCOUNT", "Account", "x");
    ini.WriteString("ACCOUNT", "Domain", "x");
    ini.WriteString("ACCOUNT", "Passwd", "x");
  }
  if (!Present(reply, "C1")) return;
  std::string code = ReplyValue("C1", reply);
  if (code.empty()) return;
  int32_t c = TextToIntOrOne(code);
  if (c == 1) {
    Values.Deactivated = true;
    WriteLog(">>>>>    Der Account ist deaktiviert!", 10);
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "DEACTIVATED", true);
  } else if (c == 3 || c == 10) {
    Values.ConfigError = true;
    WriteLog(">>>>>    \xDC" "berpr\xFC" "fen Sie bitte Ihre Login-Daten!", 10);
    plat::IniFile(ConfigPath()).WriteBool("ACCOUNT", "CONFIGERROR", true);
  } else {
    std::string message = ReplyValue("M1", reply);
    if (!message.empty()) WriteLog(">>>>>    " + message, 10);
  }
}

void ReplyServers(TCorvilinkC& engine, const std::string& reply) {
  if (Present(reply, "DNS") && ReplyValue("DNS", reply) == "1") {
    WriteLog("Debug    setIP says DNS-Resolving of socket IPs", 40);
    engine.TimerDNS.SetEnabled(true);
    return;
  }
  std::string value;
  if (Present(reply, "MIP") && IsIPv4Text(value = ReplyValue("MIP", reply))) Values.MyIPServerAddress = value;
  if (Present(reply, "SIP") && IsIPv4Text(value = ReplyValue("SIP", reply))) Values.UpdateServerAddress = value;
  if (Present(reply, "HIP") && IsIPv4Text(value = ReplyValue("HIP", reply))) Values.HeartBeatServerAddress = value;
}

void ReplyMessage(const std::string& reply) {
  size_t mess = reply.find("MESS:");
  Values.ServerMessage = mess == std::string::npos ? std::string() : reply.substr(mess + 5);
}

// Sleep and exit; false when an exit is ordered, which ends the reply before
// the success step.
bool ReplyCommands(TCorvilinkC& engine, const std::string& reply) {
  if (Present(reply, "SLEEP")) {
    std::string value = ReplyValue("SLEEP", reply);
    if (!value.empty()) {
      WriteLog(">>>>>    Sleep for " + value + " Seconds received!", 10);
      int32_t s = TextToIntOrOne(value);
      engine.TimerSleep.SetInterval(TimerMs(int64_t(s) * 1000));
      engine.TimerSleep.SetEnabled(true);
      Values.Sleeping = true;
    }
  }
  engine.TimerKill.SetEnabled(false);
  if (Present(reply, "EXIT") && ReplyValue("EXIT", reply) == "1") {
    WriteLog(">>>>>    KILL/EXIT Timer started!", 10);
    engine.TimerKill.SetInterval(60000);
    engine.TimerKill.SetEnabled(true);
    return false;
  }
  return true;
}

void ReplySuccess(TCorvilinkC& engine) {
  Values.LastUpdateTime = DateTimeText(engine.loop.WallClock());
  WriteLog(">>>>>    Update successfully done!", 10);
  Values.ec = Values.ec2 = Values.ec3 = 0;
  Values.DNSProblem = 0;
  engine.TimerSetIP.SetInterval(TimerMs(Values.SetIPInterval));
  engine.TimerSetIP.SetEnabled(true);
  engine.TimerMyIP.SetInterval(TimerMs(Values.MyIPInterval));
  engine.TimerMyIP.SetEnabled(true);
  if ((Values.Tariff == "HA" || Values.Tariff == "HB" || Values.Tariff == "HC") && Values.HeartBeatCode.size() == 20) {
    engine.TimerHeartBeat.SetEnabled(true);
    WriteLog(">>>>>    HeartBeat activ!", 20);
  }
}

}  // namespace

}  // namespace corvilink

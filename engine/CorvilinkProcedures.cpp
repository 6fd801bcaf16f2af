#include "CorvilinkProcedures.h"

#include "CorvilinkFunctions.h"
#include "Endpoints.h"
#include "IniFile.h"
#include "Loop.h"
#include "dtools.h"

namespace corvilink {

EngineValues Values;
const std::vector<std::string> EngineValues::SetIPFallback = {endpoints::kFallbackA};
const std::vector<std::string> EngineValues::MyIPFallback = {endpoints::kFallbackB, endpoints::kFallbackC};

std::string ConfigPath() { return AppDirectory() + "/corvilink.ini"; }

void LoadConfig() {
  plat::IniFile ini(ConfigPath());
  // Each value is assigned as soon as it is read: a failure half-way keeps
  // the earlier ones.
  Values.Account = ini.ReadString("ACCOUNT", "Account", "");
  Values.Domain = ini.ReadString("ACCOUNT", "Domain", endpoints::kServiceDomain);
  Values.Passwd = ini.ReadString("ACCOUNT", "Passwd", "");
  Values.Language = ini.ReadString("ACCOUNT", "Language", "E");
  Values.IPv6Enabled = ini.ReadBool("ACCOUNT", "Dv6", false);
  Values.LogLevel = uint8_t(ini.ReadInteger("LOGGING", "Level", 20));
  Values.StartDelay = ini.ReadInteger("DAEMON", "StartDelay", 0);
  Values.Broadcast = ini.ReadBool("OPTIONS", "Broadcast", false);
  Values.Offline = ini.ReadBool("ACCOUNT", "Offline", false);
  Values.ConfigError = ini.ReadBool("ACCOUNT", "CONFIGERROR", false);
}

std::function<void(const std::string&, uint8_t)> LogWritten;
std::function<std::time_t()> LogClock;
std::function<void(const std::string&)> LogBroadcast;

void WriteLog(const std::string& message, uint8_t level) {
  if (level <= Values.LogLevel) {
    AppendLogLine(Values.Session + " " + message, LogClock ? LogClock() : std::time(nullptr));
    if (LogWritten) LogWritten(message, level);
    for (std::string& slot : Values.LogSlot) {
      if (slot.empty()) {
        slot = message;
        break;
      }
    }
    Values.LastLogMessage = message;
  }
  // The configured level decides, not the message's: every message goes out
  // below 99, also those the filter dropped.
  if (Values.Broadcast && Values.LogLevel < 99 && LogBroadcast) LogBroadcast(message);
}

bool TryWriteLog(const std::string& message, uint8_t level) {
  try {
    WriteLog(message, level);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void WriteAlert(const std::string& place, const std::string& message) {
  if (TryWriteLog(place, 20)) TryWriteLog("Alert!   " + message, 30);
}

void InitVersionInfo() {
  Values.ProductName = VersionInfoValue("ProductName");
  Values.ProductVersion = VersionInfoValue("ProductVersion");
  Values.FileVersion = VersionInfoValue("FileVersion");
  Values.Session = RandomLetters(3);
  Values.VersionText = Values.ProductName + " " + Values.ProductVersion + " (Build:" + Values.FileVersion + ")";
}

void DetectLocalAddresses(plat::Loop& loop, std::string& list) {
  Values.ec4 = -1;
  for (int pass = 30; pass > 0; --pass) {
    if (!Values.LocalHostName.empty() && !Values.LocalIPs.empty()) continue;
    Values.ec4 += 1;
    loop.Sleep(1);
    list.clear();
    std::string name;
    std::vector<std::string> addrs;
    if (!loop.HostName(name)) return;
    if (!loop.HostAddresses(name, addrs) || addrs.empty()) return;
    list = addrs[0];
    for (size_t i = 1; i < addrs.size(); ++i) list += "," + addrs[i];
    Values.LocalHostName = name;
    Values.LocalIPs = list;
  }
}

}  // namespace corvilink

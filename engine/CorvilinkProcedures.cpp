#include "CorvilinkProcedures.h"

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "Endpoints.h"
#include "IniFile.h"
#include "dtools.h"

namespace corvilink {

std::string Account;
std::string Domain;
std::string Passwd;
std::string Language = "D";
bool IPv6Enabled = false;
bool ConfigError = false;
uint8_t LogLevel = 0;
bool Broadcast = false;
int32_t StartDelay = 0;

bool IsDaemon = false;
std::string Mode;
bool WindowsClientRunning = false;
bool Sleeping = false;
bool Deactivated = false;

std::string UpdateServerAddress = "0.0.0.0";
std::string MyIPServerAddress = "0.0.0.0";
std::string HeartBeatServerAddress = "0.0.0.0";
const std::vector<std::string> SetIPFallback = {endpoints::kFallbackA};
const std::vector<std::string> MyIPFallback = {endpoints::kFallbackB, endpoints::kFallbackC};

uint32_t ec = 0;
uint32_t ec2 = 0;
uint32_t ec3 = 0;
int16_t ec4 = 0;
uint32_t DNSDiff = 0;
int32_t DNSProblem = 0;

std::string AuthCode = endpoints::kClientCode;
std::string Session = "xxx";
std::string ProductName;
std::string ProductVersion;
std::string FileVersion;
std::string VersionText;
std::string LocalHostName;
std::string LocalIPs;

int32_t SetIPInterval = 0;
int32_t MyIPInterval = 0;
int32_t HeartBeatInterval = 0;
std::string ResolvedOwnIP;
std::string IPv6Address;

std::string LastLogMessage;
std::string LastDetectTime;
std::string LastUpdateTime;
std::array<std::string, 20> LogSlot;

std::string ConfigPath() { return AppDirectory() + "/corvilink.ini"; }

void LoadConfig() {
  plat::IniFile ini(ConfigPath());
  // Each value is assigned as soon as it is read: a failure half-way keeps
  // the earlier ones.
  Account = ini.ReadString("ACCOUNT", "Account", "");
  Domain = ini.ReadString("ACCOUNT", "Domain", endpoints::kServiceDomain);
  Passwd = ini.ReadString("ACCOUNT", "Passwd", "");
  Language = ini.ReadString("ACCOUNT", "Language", "E");
  IPv6Enabled = ini.ReadBool("ACCOUNT", "Dv6", false);
  LogLevel = uint8_t(ini.ReadInteger("LOGGING", "Level", 20));
  StartDelay = ini.ReadInteger("DAEMON", "StartDelay", 0);
  Broadcast = ini.ReadBool("OPTIONS", "Broadcast", false);
  Offline = ini.ReadBool("ACCOUNT", "Offline", false);
  ConfigError = ini.ReadBool("ACCOUNT", "CONFIGERROR", false);
}

std::function<void(const std::string&, uint8_t)> LogWritten;

void WriteLog(const std::string& message, uint8_t level) {
  if (level <= LogLevel) {
    AppendLogLine(Session + " " + message);
    if (LogWritten) LogWritten(message, level);
    for (std::string& slot : LogSlot) {
      if (slot.empty()) {
        slot = message;
        break;
      }
    }
    LastLogMessage = message;
  }
  // The configured level decides, not the message's: every message goes out
  // below 99, also those the filter dropped.
  if (Broadcast && LogLevel < 99 && CorvilinkC)
    CorvilinkC->UDPBroadCastClient.Broadcast(message, endpoints::kLogBroadcastPort);
}

void InitVersionInfo() {
  ProductName = VersionInfoValue("ProductName");
  ProductVersion = VersionInfoValue("ProductVersion");
  FileVersion = VersionInfoValue("FileVersion");
  Session = RandomLetters(3);
  VersionText = ProductName + " " + ProductVersion + " (Build:" + FileVersion + ")";
}

void DetectLocalAddresses(std::string& list) {
  plat::Loop& loop = CorvilinkC->loop;
  ec4 = -1;
  for (int pass = 30; pass > 0; --pass) {
    if (!LocalHostName.empty() && !LocalIPs.empty()) continue;
    ec4 += 1;
    loop.Sleep(1);
    list.clear();
    std::string name;
    std::vector<std::string> addrs;
    if (!loop.HostName(name)) return;
    if (!loop.HostAddresses(name, addrs) || addrs.empty()) return;
    list = addrs[0];
    for (size_t i = 1; i < addrs.size(); ++i) list += "," + addrs[i];
    LocalHostName = name;
    LocalIPs = list;
  }
}

void CheckIPSoon() { CorvilinkC->TimerMyIP.SetInterval(2500); }
void UpdateSoon() { CorvilinkC->TimerSetIP.SetInterval(2500); }

void ResetEngineValues() {
  Account.clear();
  Domain.clear();
  Passwd.clear();
  Language = std::string("D");  // plain "D" trips a GCC 12 -O3 -Wrestrict false alarm
  IPv6Enabled = Offline = ConfigError = Broadcast = false;
  LogLevel = 0;
  StartDelay = 0;
  IsDaemon = WindowsClientRunning = Sleeping = Deactivated = false;
  Mode.clear();
  UpdateServerAddress = "0.0.0.0";
  MyIPServerAddress = "0.0.0.0";
  HeartBeatServerAddress = "0.0.0.0";
  ec = ec2 = ec3 = DNSDiff = 0;
  ec4 = 0;
  DNSProblem = 0;
  AuthCode = endpoints::kClientCode;
  Session = "xxx";
  ProductName.clear();
  ProductVersion.clear();
  FileVersion.clear();
  VersionText.clear();
  LocalHostName.clear();
  LocalIPs.clear();
  SetIPInterval = MyIPInterval = HeartBeatInterval = 0;
  HeartBeatCode.clear();
  Tariff.clear();
  ServerMessage.clear();
  DetectedIP.clear();
  CurrentIP.clear();
  PreviousIP.clear();
  PrePreviousIP.clear();
  ResolvedOwnIP.clear();
  IPv6Address.clear();
  LastLogMessage.clear();
  LastDetectTime.clear();
  LastUpdateTime.clear();
  for (std::string& slot : LogSlot) slot.clear();
}

}  // namespace corvilink

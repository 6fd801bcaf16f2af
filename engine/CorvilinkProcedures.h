// The engine's process-wide values and the procedures around them. Every
// part of both programs reads and writes these directly, on the one thread.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "Endpoints.h"

namespace plat {
class Loop;
}

namespace corvilink {

// The engine's state: every value is process-wide, read and written
// directly by both programs on the one thread. One instance, Values; every
// process starts from these initial values.
struct EngineValues {
  // Configuration values (LoadConfig).
  std::string Account;
  std::string Domain;
  std::string Passwd;
  std::string Language = "D";
  bool IPv6Enabled = false;
  bool Offline = false;
  bool ConfigError = false;
  uint8_t LogLevel = 0;
  bool Broadcast = false;
  int32_t StartDelay = 0;

  // Run mode and account-state flags.
  bool IsDaemon = false;
  std::string Mode;
  bool WindowsClientRunning = false;
  bool Sleeping = false;
  bool Deactivated = false;

  // Server addresses; "0.0.0.0" until learnt.
  std::string UpdateServerAddress = "0.0.0.0";
  std::string MyIPServerAddress = "0.0.0.0";
  std::string HeartBeatServerAddress = "0.0.0.0";
  static const std::vector<std::string> SetIPFallback;
  static const std::vector<std::string> MyIPFallback;

  // Counters, all sent with every update request.
  uint32_t ec = 0;
  uint32_t ec2 = 0;
  uint32_t ec3 = 0;
  int16_t ec4 = 0;
  uint32_t DNSDiff = 0;
  int32_t DNSProblem = 0;

  // Identity.
  std::string AuthCode = endpoints::kClientCode;
  std::string Session = "xxx";
  std::string ProductName;
  std::string ProductVersion;
  std::string FileVersion;
  std::string VersionText;
  std::string LocalHostName;
  std::string LocalIPs;

  // Values the update server hands out, and the address history.
  int32_t SetIPInterval = 0;
  int32_t MyIPInterval = 0;
  int32_t HeartBeatInterval = 0;
  std::string HeartBeatCode;  // at most 255 characters
  std::string Tariff;         // at most 255 characters
  std::string ServerMessage;
  std::string DetectedIP;
  std::string CurrentIP;
  std::string PreviousIP;
  std::string PrePreviousIP;
  std::string ResolvedOwnIP;
  std::string IPv6Address;

  // Status texts and the hand-off of log lines to the window.
  std::string LastLogMessage;
  std::string LastDetectTime;
  std::string LastUpdateTime;
  // Slots 1 to 20 are LogSlot[0] to LogSlot[19]; empty = free.
  std::array<std::string, 20> LogSlot;
};

extern EngineValues Values;

void LoadConfig();
void WriteLog(const std::string& message, uint8_t level);
// For error paths, which do the engine's own work first and log after: the
// log can be what failed. A write that fails ends the path's lines there and
// goes no further, where another handler would count the error again. Also
// for a line that only reports, where what follows must happen whatever the
// log does (a look-up taken, a request sent, a server's order carried out).
bool TryWriteLog(const std::string& message, uint8_t level);
// The pair of a caught error: its place at 20, then "Alert!   " + its message at 30.
void WriteAlert(const std::string& place, const std::string& message);
// Told of every message the log file gets, with its level, which the file
// doesn't keep; the tests check levels through it.
extern std::function<void(const std::string& message, uint8_t level)> LogWritten;
// What the log takes from the engine object, which sets both when it is made
// and clears them when it goes: its loop's wall clock for the line's date and
// time (the tests' virtual time reaches them too; none: the system's), and the
// broadcast of a message to the local network.
extern std::function<std::time_t()> LogClock;
extern std::function<void(const std::string& message)> LogBroadcast;
void InitVersionInfo();
void DetectLocalAddresses(plat::Loop& loop, std::string& list);

// The path of corvilink.ini beside the program.
std::string ConfigPath();

// The empty procedures module both programs create last.
class TCorvilinkProc {};

}  // namespace corvilink

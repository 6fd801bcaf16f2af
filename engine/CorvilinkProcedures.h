// The engine's process-wide values and the procedures around them. Every
// part of both programs reads and writes these directly, on the one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvilink {

// Configuration values (LoadConfig).
extern std::string Account;
extern std::string Domain;
extern std::string Passwd;
extern std::string Language;
extern bool IPv6Enabled;
extern bool ConfigError;
extern uint8_t LogLevel;
extern bool Broadcast;
extern int32_t StartDelay;

// Run mode and account-state flags.
extern bool IsDaemon;
extern std::string Mode;
extern bool WindowsClientRunning;
extern bool Sleeping;
extern bool Deactivated;

// Server addresses; "0.0.0.0" until learnt.
extern std::string UpdateServerAddress;
extern std::string MyIPServerAddress;
extern std::string HeartBeatServerAddress;
extern const std::vector<std::string> SetIPFallback;
extern const std::vector<std::string> MyIPFallback;

// Counters, all sent with every update request.
extern uint32_t ec;
extern uint32_t ec2;
extern uint32_t ec3;
extern int16_t ec4;
extern uint32_t DNSDiff;
extern int32_t DNSProblem;

// Identity.
extern std::string AuthCode;
extern std::string Session;
extern std::string ProductName;
extern std::string ProductVersion;
extern std::string FileVersion;
extern std::string VersionText;
extern std::string LocalHostName;
extern std::string LocalIPs;

// Values the update server hands out.
extern int32_t SetIPInterval;
extern int32_t MyIPInterval;
extern int32_t HeartBeatInterval;
extern std::string ResolvedOwnIP;
extern std::string IPv6Address;

// Status texts and the hand-off of log lines to the window.
extern std::string LastLogMessage;
extern std::string LastDetectTime;
extern std::string LastUpdateTime;
// Slots 1 to 20 are LogSlot[0] to LogSlot[19]; empty = free.
extern std::array<std::string, 20> LogSlot;

void LoadConfig();
void WriteLog(const std::string& message, uint8_t level);
// Told of every message the log file gets, with its level, which the file
// doesn't keep; the tests check levels through it.
extern std::function<void(const std::string& message, uint8_t level)> LogWritten;
void InitVersionInfo();
void DetectLocalAddresses(std::string& list);
// Bring the IP query or the update forward to 2.5 s, without enabling the timer.
void CheckIPSoon();
void UpdateSoon();

// The path of corvilink.ini beside the program.
std::string ConfigPath();

// Every value back to its value at process start (a program start does this
// for free; tests that create several engines in one process need it).
void ResetEngineValues();

// The empty procedures module both programs create last.
class TCorvilinkProc {};

}  // namespace corvilink

// TCorvilinkC: the engine object with its timers, sockets and UDP components.
// One instance per process; whoever drives it is handed it.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "Loop.h"
#include "Timer.h"
#include "WSocket.h"

namespace corvilink {

// Where an error that escapes a timer handler goes: the desktop program shows
// it, the daemon writes it to the system log. The loop goes on either way.
extern std::function<void(const std::exception&)> ApplicationHandleException;

class TCorvilinkC {
public:
  explicit TCorvilinkC(plat::Loop& loop);
  ~TCorvilinkC();
  TCorvilinkC(const TCorvilinkC&) = delete;
  TCorvilinkC& operator=(const TCorvilinkC&) = delete;

  plat::Loop& loop;

  // Components, in form order, with their form values.
  plat::Timer TimerMyIP{loop, false, 5000};
  plat::Timer TimerSetIP{loop, false, 5000};
  plat::Timer TimerHeartBeat{loop, false, 100};
  plat::WSocket SHeartBeat{loop};
  plat::WSocket SMyIP{loop};
  plat::WSocket SSetIP{loop};
  plat::Timer TimerDNS{loop, true, 1000};
  plat::Timer TimerProcList{loop, false, 1000};
  plat::Timer TimerSleep{loop, false, 1000};
  plat::Timer TimerKill{loop, false, 300000};
  plat::Timer TimerDNSCheck{loop, false, 120000};
  plat::WSocket DNSCheck{loop};
  plat::WSocket DNSRandom{loop};
  plat::Timer TimerDNSRandom{loop, false, 1000};
  plat::UdpSender UDPBroadCastClient{loop};
  plat::UdpListener UDPBroadCastServer;
  plat::Timer TimerRun{loop, false, 10000};

  void DataModuleCreate();

  // kind: "W" from the desktop program, "D" from the daemon.
  void StartEngine(const std::string& kind);
  void StopEngine();
  // Bring the IP query or the update forward to 2.5 s, without enabling the timer.
  void CheckIPSoon();
  void UpdateSoon();
  // The update, IP-query, own-host-check, random-look-up, host-look-up and
  // sleep timers off: first thing on every update reply that is read, and the
  // window's on a configuration error at start.
  void TimersOff();

  // Update cycle: ticks, server resolution, sleep and exit, socket errors.
  void TimerSetIPTimer();
  void TimerMyIPTimer();
  void TimerTimerDNS();
  void SSetIPDnsLookupDone(uint16_t errCode);
  void SMyIPDnsLookupDone(uint16_t errCode);
  void TimerSleepTimer();
  void TimerKillTimer();
  void SMyIPError();
  void SSetIPError();
  void SMyIPBgException(const std::exception& error, bool& canClose);
  void SSetIPBgException(const std::exception& error, bool& canClose);
  void SHeartBeatBgException(const std::exception& error, bool& canClose);
  void SHeartBeatError();
  void SMyIPSocksError(int errCode, const std::string& msg);
  void SSetIPSocksError(int errCode, const std::string& msg);

  // Update request, update reply, IP query.
  void SSetIPSessionConnected(uint16_t errCode);
  void SSetIPDataAvailable(uint16_t errCode);
  void SMyIPSessionConnected(uint16_t errCode);
  void SMyIPDataAvailable(uint16_t errCode);

  // Heartbeat and DNS checks.
  void TimerHeartBeatTimer();
  void TimerDNSCheckTimer();
  void DNSCheckDnsLookupDone(uint16_t errCode);
  void TimerDNSRandomTimer();
  void DNSRandomDnsLookupDone(uint16_t errCode);

  // Coordination of the two programs.
  void TimerRunTimer();
  void TimerProcListTimer();
  void UDPBroadCastServerUDPRead(const std::string& data);

  // The counter rules: an update failure re-resolves the next update host;
  // every second IP-query failure does too.
  void UpdateFailure();
  void MyIPFailure();
  void CaughtError();

private:
  void BindEvents();
};

// One read of at most n of the bytes that have arrived, up to the first NUL;
// the connection is closed whatever the read did.
std::string ReadOnceAndClose(plat::WSocket& socket, int n);

// The last three detected addresses: true when DetectedIP is none of them
// (a change), which then becomes the newest.
bool ApplyAddressHistory();

// A timer interval from a count that may overflow or be negative: the
// platform timer clamps such values to its maximum.
uint32_t TimerMs(int64_t ms);

}  // namespace corvilink

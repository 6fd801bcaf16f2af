#include "CorvilinkClient.h"

#include <cstdio>
#include <stdexcept>

#include "CorvilinkProcedures.h"
#include "Endpoints.h"

namespace corvilink {

std::function<void(const std::exception&)> ApplicationHandleException =
    [](const std::exception& e) { std::fprintf(stderr, "%s\n", e.what()); };

uint32_t TimerMs(int64_t ms) {
  return ms < 0 || ms > 2147483647 ? 2147483647u : uint32_t(ms);
}

namespace {

// The log's clock, named so that an engine object going away takes the log's
// hooks back only while they are still its own (a new one may be made first).
struct EngineClock {
  TCorvilinkC* engine;
  std::time_t operator()() const { return engine->loop.WallClock(); }
};

}  // namespace

TCorvilinkC::TCorvilinkC(plat::Loop& loop) : loop(loop) {
  SHeartBeat.FlushTimeout = 60;
  SMyIP.FlushTimeout = 10;
  SSetIP.FlushTimeout = 10;
  DNSCheck.FlushTimeout = 60;
  DNSRandom.FlushTimeout = 60;
  UDPBroadCastClient.Active = true;
  UDPBroadCastClient.Port = endpoints::kLocalNoticePort;
  UDPBroadCastServer.DefaultPort = endpoints::kLocalNoticePort;
  LogClock = EngineClock{this};
  LogBroadcast = [this](const std::string& message) {
    UDPBroadCastClient.Broadcast(message, endpoints::kLogBroadcastPort);
  };
  BindEvents();
  DataModuleCreate();
}

TCorvilinkC::~TCorvilinkC() {
  const EngineClock* clock = LogClock.target<EngineClock>();
  if (clock == nullptr || clock->engine != this) return;
  LogClock = nullptr;
  LogBroadcast = nullptr;
}

void TCorvilinkC::BindEvents() {
  for (plat::Timer* t : {&TimerMyIP, &TimerSetIP, &TimerHeartBeat, &TimerDNS, &TimerProcList,
                         &TimerSleep, &TimerKill, &TimerDNSCheck, &TimerDNSRandom, &TimerRun})
    t->OnError = [](const std::exception& e) { ApplicationHandleException(e); };

  TimerSetIP.SetOnTimer([this] { TimerSetIPTimer(); });
  TimerMyIP.SetOnTimer([this] { TimerMyIPTimer(); });
  TimerDNS.SetOnTimer([this] { TimerTimerDNS(); });
  TimerSleep.SetOnTimer([this] { TimerSleepTimer(); });
  TimerKill.SetOnTimer([this] { TimerKillTimer(); });
  TimerHeartBeat.SetOnTimer([this] { TimerHeartBeatTimer(); });
  TimerDNSCheck.SetOnTimer([this] { TimerDNSCheckTimer(); });
  TimerDNSRandom.SetOnTimer([this] { TimerDNSRandomTimer(); });
  TimerRun.SetOnTimer([this] { TimerRunTimer(); });
  TimerProcList.SetOnTimer([this] { TimerProcListTimer(); });

  SHeartBeat.OnError = [this] { SHeartBeatError(); };
  SHeartBeat.OnBgException = [this](const std::exception& e, bool& c) { SHeartBeatBgException(e, c); };

  DNSCheck.OnDnsLookupDone = [this](uint16_t err) { DNSCheckDnsLookupDone(err); };
  DNSRandom.OnDnsLookupDone = [this](uint16_t err) { DNSRandomDnsLookupDone(err); };

  SMyIP.OnSessionConnected = [this](uint16_t err) { SMyIPSessionConnected(err); };
  SMyIP.OnDataAvailable = [this](uint16_t err) { SMyIPDataAvailable(err); };
  SMyIP.OnDnsLookupDone = [this](uint16_t err) { SMyIPDnsLookupDone(err); };
  SMyIP.OnError = [this] { SMyIPError(); };
  SMyIP.OnBgException = [this](const std::exception& e, bool& c) { SMyIPBgException(e, c); };
  SMyIP.OnSocksError = [this](int err, const std::string& m) { SMyIPSocksError(err, m); };

  SSetIP.OnSessionConnected = [this](uint16_t err) { SSetIPSessionConnected(err); };
  SSetIP.OnDataAvailable = [this](uint16_t err) { SSetIPDataAvailable(err); };
  SSetIP.OnDnsLookupDone = [this](uint16_t err) { SSetIPDnsLookupDone(err); };
  SSetIP.OnError = [this] { SSetIPError(); };
  SSetIP.OnBgException = [this](const std::exception& e, bool& c) { SSetIPBgException(e, c); };
  SSetIP.OnSocksError = [this](int err, const std::string& m) { SSetIPSocksError(err, m); };
}

void TCorvilinkC::DataModuleCreate() {
  InitVersionInfo();
  Values.LastLogMessage.clear();
  Values.LastDetectTime.clear();
  Values.LastUpdateTime.clear();
  UDPBroadCastClient.BroadcastEnabled = true;
}

void TCorvilinkC::StartEngine(const std::string& kind) {
  Values.AuthCode += kind;
  LoadConfig();
  WriteLog(">>>>>", 10);
  WriteLog(">>>>>  " + Values.VersionText + " started.", 10);
  WriteLog(">>>>>", 10);
  std::string discarded;
  DetectLocalAddresses(loop, discarded);
  std::string hostName;
  if (!loop.HostName(hostName)) throw std::runtime_error("Winsock.GetHostName failed");
  WriteLog(">>>>>  " + hostName, 10);
  WriteLog(">>>>>  " + Values.LocalIPs, 10);
  WriteLog(">>>>>", 10);
  TimerMyIP.SetEnabled(false);
  TimerSetIP.SetEnabled(true);
  TimerRun.SetEnabled(true);
  if (Values.IsDaemon) {
    loop.Sleep(2);
    TimerProcList.SetEnabled(true);
  }
}

void TCorvilinkC::StopEngine() {
  WriteLog(">>>>>", 10);
  WriteLog(">>>>>  " + Values.VersionText + " terminated.", 10);
  WriteLog(">>>>>", 10);
  TimerMyIP.SetEnabled(false);
  TimerSetIP.SetEnabled(false);
  TimerHeartBeat.SetEnabled(false);
}

void TCorvilinkC::CheckIPSoon() { TimerMyIP.SetInterval(2500); }
void TCorvilinkC::UpdateSoon() { TimerSetIP.SetInterval(2500); }

void TCorvilinkC::TimersOff() {
  TimerSetIP.SetEnabled(false);
  TimerMyIP.SetEnabled(false);
  TimerDNSCheck.SetEnabled(false);
  TimerDNSRandom.SetEnabled(false);
  TimerDNS.SetEnabled(false);
  TimerSleep.SetEnabled(false);
}

std::string ReadOnceAndClose(plat::WSocket& socket, int n) {
  std::vector<char> buffer(size_t(n) + 1, 0);
  int got = 0;
  try {
    got = socket.Receive(buffer.data(), n);
  } catch (...) {
    socket.Close();
    throw;
  }
  socket.Close();
  return got > 0 ? std::string(buffer.data()) : std::string();
}

}  // namespace corvilink

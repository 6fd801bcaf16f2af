// Arbitrary bytes as the update reply and as the IP-query reply, through the
// simulated socket of an engine on the simulated loop.
//
// Input: one control byte, then the reply.
//   0x80  deliver the reply in two segments, split at (control & 0x3F)
//   0x40  start with three addresses in the history instead of none
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "SimLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

using namespace corvilink;

namespace {

const char kIni[] =
    "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=abcdef\r\n[LOGGING]\r\nLevel=40\r\n";
const char kUpdateServer[] = "127.0.0.21";
const char kMyIPServer[] = "127.0.0.31";
// The loop keeps every stream and every cancelled timer event: start afresh now and then.
const unsigned kInputsPerEngine = 100;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct Rig {
  std::string dir;
  std::unique_ptr<sim::SimLoop> loop;
  std::unique_ptr<TCorvilinkC> engine;
  unsigned inputs = 0;

  std::string IniPath() const { return dir + "/corvilink.ini"; }
  std::string LogPath() const { return dir + "/corvilink.log"; }

  void WriteIni() const {
    std::ofstream out(IniPath(), std::ios::binary | std::ios::trunc);
    out << kIni;
    if (!out) Fail("cannot write the configuration file");
  }

  void Build() {
    engine.reset();
    loop.reset();
    Values = {};
    SetProgramPath(dir + "/corvilink");
    plat::SetVersionBlock(&kDesktopVersion);
    RandSeed = 12345;
    WriteIni();
    unlink(LogPath().c_str());
    loop = std::make_unique<sim::SimLoop>();
    loop->hostName = "simbox";
    loop->hostAddresses["simbox"] = {"10.1.2.3", "192.168.7.8"};
    engine = std::make_unique<TCorvilinkC>(*loop);
    engine->StartEngine("W");
    inputs = 0;
  }

  // What one reply may leave behind and the next one must not see.
  void Reset(bool presetHistory) {
    if (++inputs > kInputsPerEngine) Build();
    WriteIni();
    // The log would otherwise grow by every line of every input.
    unlink(LogPath().c_str());
    Values.Sleeping = Values.Deactivated = Values.ConfigError = false;
    Values.UpdateServerAddress = kUpdateServer;
    Values.MyIPServerAddress = kMyIPServer;
    Values.ec = Values.ec2 = Values.ec3 = 0;
    Values.DNSProblem = 0;
    Values.SetIPInterval = 1800000;
    Values.MyIPInterval = 60000;
    Values.Tariff.clear();
    Values.HeartBeatCode.clear();
    Values.ServerMessage.clear();
    for (std::string& slot : Values.LogSlot) slot.clear();
    Values.DetectedIP.clear();
    if (presetHistory) {
      Values.CurrentIP = "1.2.3.4";
      Values.PreviousIP = "10.0.0.1";
      Values.PrePreviousIP = "192.168.1.10";
    } else {
      Values.CurrentIP.clear();
      Values.PreviousIP.clear();
      Values.PrePreviousIP.clear();
    }
    for (plat::Timer* t : {&engine->TimerMyIP, &engine->TimerHeartBeat, &engine->TimerDNS,
                           &engine->TimerSleep, &engine->TimerKill, &engine->TimerDNSCheck,
                           &engine->TimerDNSRandom})
      t->SetEnabled(false);
    engine->TimerSetIP.SetEnabled(true);
  }
};

Rig* TheRig() {
  static Rig* rig = [] {
    auto* r = new Rig;
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvifuzz.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) Fail("mkdtemp failed");
    r->dir = tmpl;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TheRig()->dir, ignored);
    });
    r->Build();
    return r;
  }();
  return rig;
}

bool HistoryIsSound() {
  const std::string* h[] = {&Values.CurrentIP, &Values.PreviousIP, &Values.PrePreviousIP};
  for (int i = 0; i < 3; ++i) {
    if (h[i]->empty()) continue;
    if (!IsIPv4Text(*h[i])) return false;
    for (int j = i + 1; j < 3; ++j)
      if (*h[i] == *h[j]) return false;
  }
  return true;
}

// Opens the connection through the tick, then delivers the segments; a reply
// of no bytes at all is the peer closing without an answer.
std::shared_ptr<sim::SimStream> Exchange(sim::SimLoop& loop, const std::vector<std::string>& segments,
                                         size_t streamsBefore) {
  if (loop.Streams().size() != streamsBefore + 1) Fail("the tick opened no connection");
  auto s = loop.LastStream();
  loop.CompleteConnect(s, 0);
  loop.RunDue();
  if (s->written.empty()) Fail("nothing was sent on the connection");
  bool any = false;
  for (const std::string& seg : segments) {
    if (seg.empty()) continue;
    any = true;
    loop.Deliver(s, seg);
    loop.RunDue();
  }
  if (!any) {
    loop.PeerClose(s, 0);
    loop.RunDue();
  }
  // The one read closes the socket; later segments are never looked at.
  if (any && !s->closed) Fail("the socket stayed open after the read");
  return s;
}

void UpdateReply(Rig& rig, const std::vector<std::string>& segments) {
  TCorvilinkC& engine = *rig.engine;
  size_t streams = rig.loop->Streams().size();
  engine.TimerSetIPTimer();
  Exchange(*rig.loop, segments, streams);

  // Whatever the reply said, a next update or the exit is on its way.
  bool updateArmed = engine.TimerSetIP.Enabled() && engine.TimerSetIP.Interval() != 0;
  if (!updateArmed && !engine.TimerKill.Enabled()) Fail("the engine stalls after the update reply");
  if (engine.TimerKill.Enabled() && engine.TimerKill.Interval() == 0) Fail("the exit timer never fires");
  if (!Values.DetectedIP.empty() && !IsIPv4Text(Values.DetectedIP)) Fail("DetectedIP is no IPv4 text after the update reply");
  if (!HistoryIsSound()) Fail("address history broken after the update reply");
  if (Values.HeartBeatCode.size() != 0 && Values.HeartBeatCode.size() != 20) Fail("heartbeat code of a wrong length");
  if (Values.Tariff.size() > 255) Fail("tariff over 255 bytes");
  if (rig.loop->exited) Fail("the process ended within the reply");
}

void IPReply(Rig& rig, const std::vector<std::string>& segments) {
  TCorvilinkC& engine = *rig.engine;
  // The update reply may have put the engine to sleep, wiped or flagged the
  // account or moved the IP server: the query needs all of them back.
  rig.WriteIni();
  Values.Sleeping = Values.Deactivated = Values.ConfigError = false;
  Values.MyIPServerAddress = kMyIPServer;
  Values.MyIPInterval = 60000;
  Values.DetectedIP.clear();
  engine.TimerMyIP.SetEnabled(true);
  engine.TimerSetIP.SetInterval(30000);
  const uint32_t ec2Before = Values.ec2;
  const std::string current = Values.CurrentIP;

  size_t streams = rig.loop->Streams().size();
  engine.TimerMyIPTimer();
  Exchange(*rig.loop, segments, streams);

  std::string first;
  for (const std::string& seg : segments)
    if (!seg.empty()) {
      first = seg;
      break;
    }
  if (first.empty()) {
    // The peer closed without a byte: nothing to read, nothing counted.
    if (!Values.DetectedIP.empty() || Values.ec2 != ec2Before) Fail("a reply of no bytes changed the engine");
  } else if (Values.DetectedIP.empty()) {
    if (Values.ec2 != ec2Before + 1) Fail("a refused IP reply is not counted once");
  } else {
    if (!IsIPv4Text(Values.DetectedIP)) Fail("DetectedIP is no IPv4 text after the IP reply");
    if (Values.ec2 != ec2Before) Fail("an accepted IP reply is counted as a failure");
    if (first.compare(0, Values.DetectedIP.size(), Values.DetectedIP) != 0) Fail("DetectedIP is not what the first read held");
    bool changed = current != Values.CurrentIP;
    if (changed && (Values.CurrentIP != Values.DetectedIP || engine.TimerSetIP.Interval() != 5000))
      Fail("a new address does not bring the update forward");
    if (!changed && !(engine.TimerMyIP.Enabled() && engine.TimerMyIP.Interval() == 60000))
      Fail("a known address does not re-arm the query");
  }
  if (!HistoryIsSound()) Fail("address history broken after the IP reply");
  if (rig.loop->exited) Fail("the process ended within the IP reply");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = *TheRig();
  const uint8_t control = size > 0 ? data[0] : 0;
  const std::string reply = size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
  std::vector<std::string> segments;
  if (control & 0x80) {
    size_t at = std::min<size_t>(control & 0x3F, reply.size());
    segments = {reply.substr(0, at), reply.substr(at)};
  } else {
    segments = {reply};
  }

  rig.Reset((control & 0x40) != 0);
  UpdateReply(rig, segments);
  IPReply(rig, segments);
  return 0;
}

// The keep-alive datagram of the heartbeat tariffs and its local notice.
#include <string>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "Endpoints.h"

namespace corvilink {

void TCorvilinkC::TimerHeartBeatTimer() {
  if (Sleeping || Deactivated || ConfigError) return;
  WriteLog("Debug    ..... HeartBeat socket [" + HeartBeatServerAddress + "]", 40);
  // The desktop program's engine sends its own; this one stays off until a
  // later success of its own arms it again.
  if (IsDaemon && WindowsClientRunning) {
    TimerHeartBeat.SetEnabled(false);
    return;
  }
  try {
    if (HeartBeatServerAddress == "0.0.0.0") return;
    SHeartBeat.SetProto("udp");
    SHeartBeat.SetAddr(HeartBeatServerAddress);
    SHeartBeat.SetPort(endpoints::kHeartBeatPort);
    SHeartBeat.Connect();
    SHeartBeat.SendStr(HeartBeatCode);
    SHeartBeat.Close();
    WriteLog("Debug    HeartBeat: [" + HeartBeatCode + "]", 40);
    UDPBroadCastClient.Send("Corvilink;" + Session + ";" + HeartBeatCode);
  } catch (const std::exception& e) {
    WriteLog("Alert!   HeartBeatTimer Exception", 20);
    WriteLog(std::string("Alert!   ") + e.what(), 30);
    CaughtError();
  }
}

}  // namespace corvilink

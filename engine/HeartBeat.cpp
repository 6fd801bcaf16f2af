// The keep-alive datagram of the heartbeat tariffs and its local notice.
#include <string>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "Endpoints.h"

namespace corvilink {

void TCorvilinkC::TimerHeartBeatTimer() {
  if (Values.Sleeping || Values.Deactivated || Values.ConfigError) return;
  WriteLog("Debug    ..... HeartBeat socket [" + Values.HeartBeatServerAddress + "]", 40);
  // The desktop program's engine sends its own; this one stays off until a
  // later success of its own arms it again.
  if (Values.IsDaemon && Values.WindowsClientRunning) {
    TimerHeartBeat.SetEnabled(false);
    return;
  }
  try {
    if (Values.HeartBeatServerAddress == "0.0.0.0") return;
    SHeartBeat.SetProto("udp");
    SHeartBeat.SetAddr(Values.HeartBeatServerAddress);
    SHeartBeat.SetPort(endpoints::kHeartBeatPort);
    SHeartBeat.Connect();
    SHeartBeat.SendStr(Values.HeartBeatCode);
    SHeartBeat.Close();
    WriteLog("Debug    HeartBeat: [" + Values.HeartBeatCode + "]", 40);
    UDPBroadCastClient.Send("Corvilink;" + Values.Session + ";" + Values.HeartBeatCode);
  } catch (const std::exception& e) {
    CaughtError();
    WriteAlert("Alert!   HeartBeatTimer Exception", e.what());
  }
}

}  // namespace corvilink

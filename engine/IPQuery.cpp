// The IP query: ask the IP server which address we are seen from, keep the
// last three, and bring the next update forward when the address is new.
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "dtools.h"

namespace corvilink {

bool ApplyAddressHistory() {
  const std::string& d = Values.DetectedIP;
  if (d == Values.CurrentIP || d == Values.PreviousIP || d == Values.PrePreviousIP) return false;
  // The first address after start is a change, but there is nothing to compare.
  if (!Values.CurrentIP.empty()) WriteLog(">>>>>    IP-change detected [" + Values.CurrentIP + "] -> [" + d + "]", 10);
  Values.PrePreviousIP = Values.PreviousIP;
  Values.PreviousIP = Values.CurrentIP;
  Values.CurrentIP = d;
  return true;
}

void TCorvilinkC::SMyIPSessionConnected(uint16_t errCode) {
  WriteLog("Debug    ..... myIP session connected [" + Values.MyIPServerAddress + "]", 40);
  if (errCode != 0) {
    WriteLog("Debug    myIP could not be detected (socket connect)", 40);
    MyIPFailure();
    return;
  }
  WriteLog("Debug    myIP socket connect", 40);
  SMyIP.SendStr("AuthCode=" + Values.AuthCode + "&Session=" + Values.Session + "\r\n");
}

void TCorvilinkC::SMyIPDataAvailable(uint16_t errCode) {
  WriteLog("Debug    ..... myIP data available [" + Values.MyIPServerAddress + "]", 40);
  if (errCode != 0) {
    WriteLog("Debug    myIP could not be detected (a)", 40);
    MyIPFailure();
    return;
  }
  try {
    std::string text;
    int n = SMyIP.RcvdCount();
    if (n <= 0) {
      WriteLog("Debug    myIP could not be detected (b)", 40);
      MyIPFailure();
      return;
    }
    // One read only: what arrives later on this connection is never looked at.
    text = ReadOnceAndClose(SMyIP, n);
    if (!text.empty()) text.pop_back();
    if (text.size() < 7 || text.size() > 17) {
      WriteLog("Debug    myIP could not be detected (c)", 40);
      MyIPFailure();
      return;
    }
    if (!IsIPv4Text(text)) {
      WriteLog("Debug    myIP could not be detected (d)", 40);
      MyIPFailure();
      return;
    }
    Values.DetectedIP = text;
    Values.LastDetectTime = DateTimeText(loop.WallClock());
    WriteLog(">>>>>    myIP detected [" + Values.DetectedIP + "]", 30);
    if (ApplyAddressHistory()) {
      TimerSetIP.SetInterval(5000);
    } else {
      TimerMyIP.SetEnabled(false);
      TimerMyIP.SetInterval(TimerMs(Values.MyIPInterval));
      TimerMyIP.SetEnabled(true);
    }
  } catch (const std::exception& e) {
    MyIPFailure();
    CaughtError();
    WriteAlert("Alert!   myIP DataAvailable Exception", e.what());
  }
}

}  // namespace corvilink

#include "EventLog.h"

#include <syslog.h>

namespace plat {

static std::function<void(const std::string&, const std::string&)> g_sink;

void SetEventLogSink(std::function<void(const std::string&, const std::string&)> sink) {
  g_sink = std::move(sink);
}

void EventLog::Error(const std::string& text) const {
  if (g_sink) {
    g_sink(source_, text);
    return;
  }
  // One process writes under two sources, and openlog keeps just one ident:
  // open and close around every entry.
  openlog(source_.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
}

}  // namespace plat

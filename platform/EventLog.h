// The event log: error entries in the system log under a source name.
#pragma once

#include <functional>
#include <string>

namespace plat {

class EventLog {
public:
  explicit EventLog(std::string source) : source_(std::move(source)) {}
  const std::string& Source() const { return source_; }
  // syslog, facility daemon, priority error, the source as ident.
  void Error(const std::string& text) const;

private:
  std::string source_;
};

// Tests take the entries here instead of the system log; nullptr: syslog again.
void SetEventLogSink(std::function<void(const std::string& source, const std::string& text)> sink);

}  // namespace plat

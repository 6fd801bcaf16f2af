// State reports to the service manager: systemd's notification protocol, one
// datagram of "KEY=value" lines to the socket named in $NOTIFY_SOCKET.
#pragma once

#include <string>

namespace plat {

// True when a service manager waits for reports ($NOTIFY_SOCKET is set).
bool UnderServiceManager();

// Sends the state ("READY=1", "STOPPING=1", "STATUS=..."). The socket is a
// path, or an abstract name written with a leading "@". Returns 0, or the
// errno value of the failed send; without $NOTIFY_SOCKET nothing is sent.
int NotifyServiceManager(const std::string& state);

}  // namespace plat

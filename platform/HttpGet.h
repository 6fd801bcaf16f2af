// One blocking HTTP/1.1 GET of an http:// URL, as the IPv6 test needs it.
#pragma once

#include <chrono>
#include <string>

namespace plat {

// Empties body, fetches the URL from the host's IPv6 addresses (a proxy from
// the environment over either family) and fills body with the response body.
// True when the host answered (whatever the status; a body the host cut off
// is what came); false, with an empty body, when no IPv6 address of the host
// answers, the time-out passes first or the body is longer than 4096 bytes.
bool HttpGetText(const std::string& url, std::string& body);

// The name look-up, connect, send and read together within this time.
inline constexpr std::chrono::milliseconds kHttpGetTimeout{3000};
// Tests shorten the wait; not for the programs.
void SetHttpGetTimeout(std::chrono::milliseconds whole);

}  // namespace plat

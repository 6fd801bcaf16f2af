// One blocking HTTP/1.1 GET of an http:// URL, as the IPv6 test needs it.
#pragma once

#include <chrono>
#include <string>

namespace plat {

// Empties body, fetches the URL and fills body with the response body.
// True when the URL could be opened (whatever the status); false, with an
// empty body, when the host can't be resolved or reached.
bool HttpGetText(const std::string& url, std::string& body);

// Connect 10 s and whole request 30 s unless a test shortens them.
void SetHttpGetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);

}  // namespace plat

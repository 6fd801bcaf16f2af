// Blocking IPv4 name look-ups that keep the name service's order.
#pragma once

#include <string>
#include <vector>

namespace plat {

// The IPv4 addresses of a name in the order the name service gave them
// (hosts-file order, DNS answer order), each once; the empty name stands for
// the local host and gives its interfaces' addresses. 0, or a non-zero h_errno
// value when the name has no address. Safe on any thread.
int ResolveIPv4(const std::string& name, std::vector<std::string>& out);

}  // namespace plat

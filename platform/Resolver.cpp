#include "Resolver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plat {

namespace {

void AddOnce(std::vector<std::string>& out, const in_addr& a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
}

bool IsLoopback(const in_addr& a) { return (ntohl(a.s_addr) >> 24) == 127; }

// What a look-up of the machine's own name gives where no name is set: the
// addresses of the interfaces that are up, loopback only when there is
// nothing else.
int LocalHostAddresses(std::vector<std::string>& out) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return NO_RECOVERY;
  std::vector<std::string> loopback;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
    const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    AddOnce(IsLoopback(a) ? loopback : out, a);
  }
  freeifaddrs(list);
  if (out.empty()) out = loopback;
  return out.empty() ? NO_DATA : 0;
}

}  // namespace

// getaddrinfo would sort the answer by the address-selection rules and put
// loopback addresses first; gethostbyname keeps the name service's order,
// which is what the callers compare and report.
int ResolveIPv4(const std::string& name, std::vector<std::string>& out) {
  out.clear();
  if (name.empty()) return LocalHostAddresses(out);
  std::vector<char> buf(2048);
  hostent entry{};
  hostent* found = nullptr;
  int herr = 0;
  for (;;) {
    const int r = gethostbyname_r(name.c_str(), &entry, buf.data(), buf.size(), &found, &herr);
    if (r != ERANGE || buf.size() >= (1u << 20)) break;
    buf.resize(buf.size() * 2);
  }
  if (found == nullptr) return herr != 0 ? herr : NO_RECOVERY;
  if (found->h_addrtype != AF_INET || found->h_length != int(sizeof(in_addr))) return NO_DATA;
  for (char** p = found->h_addr_list; p != nullptr && *p != nullptr; ++p) {
    in_addr a;
    std::memcpy(&a, *p, sizeof a);
    AddOnce(out, a);
  }
  return out.empty() ? NO_DATA : 0;
}

}  // namespace plat

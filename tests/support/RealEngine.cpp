#include "RealEngine.h"

#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <cstdlib>
#include <thread>

#include "CorvilinkProcedures.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

namespace corvitest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kRealEngineIni =
    "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\n"
    "Passwd=e10adc3949ba59abbe56e057f20f883e\r\nLanguage=D\r\n"
    "[LOGGING]\r\nLevel=40\r\n";

std::optional<std::vector<std::string>> ResolveV4(const std::string& name) {
  // Plain gethostbyname: the name service's own order, independent of the
  // engine's resolver that the tests check against it.
  const hostent* h = gethostbyname(name.c_str());
  if (h == nullptr || h->h_addrtype != AF_INET) return std::nullopt;
  std::vector<std::string> out;
  for (char** p = h->h_addr_list; *p != nullptr; ++p) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, *p, text, sizeof text);
    if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
  }
  return out;
}

std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> out;
  FILE* ip = popen("ip -o -4 addr show up", "r");
  if (ip == nullptr) return out;
  char line[512];
  while (fgets(line, sizeof line, ip) != nullptr) {
    // "1: lo    inet 127.0.0.1/8 scope host lo ..."
    std::istringstream words(line);
    std::string word, addr;
    while (words >> word)
      if (word == "inet" && words >> addr) break;
    addr = addr.substr(0, addr.find('/'));
    if (!addr.empty() && addr.rfind("127.", 0) != 0) out.push_back(addr);
  }
  pclose(ip);
  return out;
}

std::optional<std::vector<std::string>> NextAnswerV4(const std::string& name) {
  std::optional<std::vector<std::string>> first = ResolveV4(name);
  // The cycle is one or two answers long: the third query answers as the first.
  ResolveV4(name);
  return first;
}

NamespaceChange::NamespaceChange(const std::string& command, std::string undo) {
  if (std::system(command.c_str()) == 0) undo_ = std::move(undo);
  else ADD_FAILURE() << "could not change the namespace: " << command;
}

NamespaceChange::~NamespaceChange() {
  if (Made() && std::system(undo_.c_str()) != 0) ADD_FAILURE() << "could not undo: " << undo_;
}

NamespaceChange DropTcp(const std::string& addrs, uint16_t port) {
  const std::string spec = "OUTPUT -p tcp -d " + addrs + " --dport " + std::to_string(port) + " -j DROP";
  return NamespaceChange("iptables -w -I " + spec, "iptables -w -D " + spec);
}

void RealEngineTest::SetUp() {
  const char* ns = std::getenv("CORVILINK_NETNS");
  ASSERT_TRUE(ns != nullptr && std::string(ns) == "1")
      << "opens real sockets: run only inside the private network namespace (scripts/isolate)";

  corvilink::Values = {};
  corvilink::SetProgramPath(dir.path() + "/corvilink");
  plat::SetVersionBlock(&corvilink::kDesktopVersion);
  WriteIni(kRealEngineIni);
  savedHandler_ = corvilink::ApplicationHandleException;
  corvilink::ApplicationHandleException = [](const std::exception& e) {
    ADD_FAILURE() << "an error escaped an engine handler: " << e.what();
  };

  // The IPv6 test's GET must reach the namespace's host, not a proxy the
  // environment names for the world outside.
  for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
    if (const char* value = std::getenv(name)) savedProxies_.emplace_back(name, value);
    unsetenv(name);
  }

  loop = std::make_unique<plat::UvLoop>();
  uv_timer_init(loop->Raw(), &wake_);

  ASSERT_NO_THROW(svc.Start());
  started_ = true;
}

void RealEngineTest::TearDown() {
  engine.reset();
  // Closes wake_ with every other handle.
  if (loop) loop->Shutdown();
  if (dnsChanged_) SetDnsHosts(OriginalDnsHosts(), {{"update1.corvilink.example", {"127.0.0.21"}},
                                                    {"kim.dyn.example", {}}});
  if (savedHosts_) WriteFile("/etc/hosts", *savedHosts_);
  if (started_) {
    EXPECT_EQ(svc.Stop(), 0) << "the test service failed (see its report above)";
  }
  if (savedHandler_) corvilink::ApplicationHandleException = savedHandler_;
  for (const auto& [name, value] : savedProxies_) setenv(name.c_str(), value.c_str(), 1);
  corvilink::SetProgramPath("");
  plat::SetVersionBlock(nullptr);
  corvilink::Values = {};
}

void RealEngineTest::WriteIni(const std::string& text) { WriteFile(corvilink::ConfigPath(), text); }

std::string RealEngineTest::IniText() const { return ReadFile(corvilink::ConfigPath()); }

void RealEngineTest::CreateEngine(bool quickLookup) {
  engine = std::make_unique<corvilink::TCorvilinkC>(*loop);
  if (quickLookup) engine->TimerDNS.SetInterval(20);
}

void RealEngineTest::StartEngine() {
  corvilink::Values.Mode = "GUI";
  engine->StartEngine("W");
}

void RealEngineTest::StartResolved() {
  CreateEngine();
  StartEngine();
  ASSERT_TRUE(RunUntil([] { return corvilink::Values.UpdateServerAddress != "0.0.0.0"; }, ms(3000)))
      << "the update-server look-up did not finish";
}

void RealEngineTest::UpdateNow() { engine->TimerSetIP.SetInterval(20); }

bool RealEngineTest::RunUntil(const std::function<bool()>& done, ms limit) {
  const Clock::time_point until = Clock::now() + limit;
  // Wakes a blocked uv_run often enough to look at done() again.
  uv_timer_start(&wake_, [](uv_timer_t*) {}, 10, 10);
  bool held = false;
  for (;;) {
    if (done()) {
      held = true;
      break;
    }
    if (Clock::now() >= until) break;
    uv_run(loop->Raw(), UV_RUN_ONCE);
  }
  uv_timer_stop(&wake_);
  return held;
}

void RealEngineTest::RunFor(ms span) {
  RunUntil([] { return false; }, span);
}

std::optional<Event> RealEngineTest::WaitEvent(Server server, size_t n, ms limit) {
  std::optional<Event> found;
  RunUntil(
      [&] {
        std::vector<Event> events = svc.Events(server);
        if (events.size() < n) return false;
        found = events[n - 1];
        return true;
      },
      limit);
  return found;
}

std::vector<std::string> RealEngineTest::Log() const {
  std::vector<std::string> out;
  const size_t tag = corvilink::Values.Session.size() + 1;
  for (const std::string& line : LogMessages(dir.path() + "/corvilink.log"))
    out.push_back(line.size() >= tag ? line.substr(tag) : line);
  return out;
}

size_t RealEngineTest::Count(const std::string& message, uint8_t level) const {
  levels.Expect(message, level);
  std::vector<std::string> log = Log();
  return size_t(std::count(log.begin(), log.end(), message));
}

void RealEngineTest::AddHostsLines(const std::string& lines) {
  if (!savedHosts_) savedHosts_ = ReadFile("/etc/hosts");
  // In place: the namespace's /etc/hosts is a bind mount.
  WriteFile("/etc/hosts", *savedHosts_ + lines);
}

std::string RealEngineTest::OriginalDnsHosts() {
  static const std::string original = [] {
    const char* path = std::getenv("CORVILINK_DNS_HOSTS");
    return path ? ReadFile(path) : std::string();
  }();
  return original;
}

void RealEngineTest::SetDnsHosts(
    const std::string& content,
    const std::vector<std::pair<std::string, std::vector<std::string>>>& probes) {
  const char* path = std::getenv("CORVILINK_DNS_HOSTS");
  const char* pid = std::getenv("CORVILINK_DNSMASQ_PID");
  ASSERT_TRUE(path != nullptr && pid != nullptr) << "no dnsmasq of the namespace to talk to";
  OriginalDnsHosts();
  dnsChanged_ = true;
  WriteFile(path, content);
  ASSERT_EQ(kill(pid_t(std::atoi(pid)), SIGHUP), 0) << "dnsmasq is gone";
  // dnsmasq rereads on its own time; the probes tell when it has.
  const Clock::time_point until = Clock::now() + milliseconds(5000);
  for (;;) {
    bool all = true;
    for (const auto& [name, expect] : probes) {
      std::optional<std::vector<std::string>> got = ResolveV4(name);
      // dnsmasq answers in an order of its own.
      std::vector<std::string> want = expect;
      if (got) std::sort(got->begin(), got->end());
      std::sort(want.begin(), want.end());
      all = all && (expect.empty() ? !got.has_value() : got == want);
    }
    if (all) return;
    if (Clock::now() >= until) {
      ADD_FAILURE() << "dnsmasq did not take up the new hosts file";
      return;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
}

}  // namespace corvitest

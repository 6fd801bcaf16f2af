// The test service: the update, IP-query, heartbeat and IPv6 test servers of
// the dynamic-DNS service, and the two local UDP listeners, in one poll loop.
// It records every request and datagram and answers per script.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Wire.h"

namespace tsvc {

enum class Kind { Update, Ip, HeartBeat, Notice, Broadcast, Http };

const char* KindName(Kind kind);
std::optional<Kind> KindFromName(std::string_view name);

// What to do with one request of a TCP server.
struct Action {
  enum class Mode { Reply, NoReply, Close, Reset };
  Mode mode = Mode::Reply;
  std::optional<std::string> bytes;  // the reply (HTTP: the body); unset: the default
  int delayMs = 0;                   // before the reply, close or reset
  size_t splitAt = 0;                // > 0: the first splitAt bytes, gapMs pause, the rest
  int gapMs = 0;
  int status = 200;                  // HTTP only
  bool chunked = false;              // HTTP only
  bool raw = false;                  // HTTP only: bytes are the whole response
};

struct Event {
  uint64_t seq = 0;
  Kind kind = Kind::Update;
  int number = 0;  // n-th request or datagram of this kind, from 1
  int64_t ms = 0;  // since the service started
  std::string local, peer;
  std::string raw;
  int shift = 0;      // update only
  std::string plain;  // update only
  Fields fields;      // update only
};

struct Options {
  int controlIn = -1;   // line commands come from here (-1: no control channel)
  int controlOut = -1;  // and their answers go here
  FILE* log = nullptr;  // one readable line per request and action
};

class Service {
public:
  explicit Service(Options options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds every listener; false with the reason when one can't be had.
  bool Listen(std::string& error);
  // Until stopFd becomes readable, the control channel ends or says quit.
  void Run(int stopFd);

private:
  struct Listener {
    int fd = -1;
    Kind kind = Kind::Update;
    bool udp = false;
    std::string local;
  };
  struct Conn;
  using Clock = std::chrono::steady_clock;

  bool AddListener(Kind kind, bool udp, const char* addr, uint16_t port, std::string& error);
  void Accept(const Listener& l);
  void ReceiveDatagrams(const Listener& l);
  void Step(Conn& c, short revents, Clock::time_point now);
  void Expire(Conn& c, Clock::time_point now);
  void Complete(Conn& c, Clock::time_point now);
  void Act(Conn& c, Clock::time_point now);
  void Send(Conn& c, Clock::time_point now);
  void Finish(Conn& c, Clock::time_point now);
  std::string Response(const Conn& c) const;
  Event& Record(Kind kind, std::string local, std::string peer, std::string raw);
  const Action* ScriptFor(Kind kind, int number) const;
  void LogLine(const std::string& line);

  bool ReadControl();
  std::string Command(std::string_view line, bool& quit);
  std::string ScriptCommand(const std::vector<std::string_view>& words);
  std::string EventsCommand(const std::vector<std::string_view>& words);

  Options options_;
  Clock::time_point started_;
  std::vector<Listener> listeners_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::vector<Event> events_;
  std::map<Kind, int> counts_;
  std::map<std::pair<Kind, int>, Action> scripts_;  // number 0: every request
  std::string controlBuffer_;
};

}  // namespace tsvc

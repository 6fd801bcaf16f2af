// The real loop, over libuv. It owns its uv_loop_t or runs on one handed in
// (the desktop program pumps the loop from Qt's event loop through Raw()).
#pragma once

#include <uv.h>

#include <memory>

#include "Loop.h"

namespace plat {

class UvLoop : public Loop {
public:
  UvLoop();                          // a loop of its own
  explicit UvLoop(uv_loop_t* loop);  // someone else's; Shutdown still closes it
  // An own loop is shut down here if it wasn't yet.
  ~UvLoop() override;
  UvLoop(const UvLoop&) = delete;
  UvLoop& operator=(const UvLoop&) = delete;

  uv_loop_t* Raw() const { return loop_; }
  // uv_run, UV_RUN_DEFAULT: until nothing is left to wait for, or uv_stop.
  void Run();
  // Closes every handle on the loop, cancels the pending look-ups, lets all
  // of it finish and closes the loop. Timers, streams and look-ups made here
  // may still be used and destroyed afterwards; they do nothing. It runs the
  // loop itself, so never from inside a callback: uv_stop, then this.
  void Shutdown();

  uint64_t Now() override;
  std::time_t WallClock() override;
  void Sleep(uint32_t ms) override;
  std::unique_ptr<LoopTimer> NewTimer(std::function<void()> fire) override;
  std::unique_ptr<Stream> NewStream(StreamEvents& events) override;
  std::unique_ptr<Lookup> Resolve(const std::string& name, LookupDone done) override;
  void SendDatagram(const std::string& ipv4, uint16_t port, const std::string& bytes,
                    bool broadcast) override;
  bool HostName(std::string& name) override;
  bool HostAddresses(const std::string& name, std::vector<std::string>& out) override;
  bool HttpGet(const std::string& url, std::string& body) override;
  // The X display's windows (WindowList.cpp).
  std::vector<TopWindow> TopLevelWindows() override;
  [[noreturn]] void ExitProcess(int code) override;

  // Shared by the loop and the objects it made (defined in UvLoop.cpp).
  struct Home;
  struct Node;

private:
  std::unique_ptr<uv_loop_t> own_;
  uv_loop_t* loop_;
  std::shared_ptr<Home> home_;
};

}  // namespace plat

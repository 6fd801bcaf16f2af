// The window list on a real X server (Xvfb started here), with windows made
// the way toolkits and window managers make them; and the daemon engine's
// search for the desktop program through the real loop.
// Runs only inside the private namespace: scripts/isolate build/tests/e2e_tests --gtest_filter='WindowList*'
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Coordination.h"
#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "UvLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "WindowList.h"
#include "dtools.h"

namespace {

// An X client of our own on the test's display.
class XClient {
public:
  explicit XClient(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(c_)) return;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
  }
  ~XClient() { xcb_disconnect(c_); }
  bool Ok() const { return !xcb_connection_has_error(c_); }

  xcb_atom_t Atom(const char* name) {
    auto r = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr);
    xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
  }

  xcb_window_t Window(xcb_window_t parent, bool overrideRedirect = false) {
    const xcb_window_t w = xcb_generate_id(c_);
    const uint32_t values[] = {overrideRedirect ? 1u : 0u};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent ? parent : root_, 10, 10, 100, 50, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
    return w;
  }
  // As toolkits do: the UTF-8 name, and the old one in Latin-1 beside it.
  void Title(xcb_window_t w, const std::string& utf8, const std::string& latin1) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, Atom("_NET_WM_NAME"), Atom("UTF8_STRING"), 8,
                        uint32_t(utf8.size()), utf8.data());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(latin1.size()), latin1.data());
  }
  void OldTitleOnly(xcb_window_t w, const std::string& latin1) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(latin1.size()), latin1.data());
  }
  void Tooltip(xcb_window_t w) {
    const xcb_atom_t types[] = {Atom("_NET_WM_WINDOW_TYPE_TOOLTIP")};
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, Atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, types);
  }
  // What a window manager puts on the clients it manages.
  void Managed(xcb_window_t w) {
    const uint32_t state[] = {1, 0};  // NormalState, no icon
    const xcb_atom_t wmState = Atom("WM_STATE");
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, wmState, wmState, 32, 2, state);
  }
  void Map(xcb_window_t w) { xcb_map_window(c_, w); }
  void Destroy(xcb_window_t w) { xcb_destroy_window(c_, w); }
  // Everything sent has been handled by the server.
  void Sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

private:
  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
};

class WindowListTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* ns = std::getenv("CORVILINK_NETNS");
    if (ns == nullptr || std::string(ns) != "1")
      FAIL() << "starts an X server: only inside the private namespace (scripts/isolate)";
    savedDisplay_ = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    xvfb_ = fork();
    if (xvfb_ == 0) {
      close(fds[0]);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number when it accepts clients.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char ch;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') number += ch;
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start (is the xvfb package installed?)";
    display = ":" + number;
    setenv("DISPLAY", display.c_str(), 1);
  }
  void TearDown() override {
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
    if (savedDisplay_.empty())
      unsetenv("DISPLAY");
    else
      setenv("DISPLAY", savedDisplay_.c_str(), 1);
  }

  // The titles of the list, in its order, that start with the prefix.
  static std::vector<std::string> Titles(const std::vector<plat::TopWindow>& list, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& w : list)
      if (w.title.rfind(prefix, 0) == 0) out.push_back(w.title + (w.tooltip ? " (tooltip)" : ""));
    return out;
  }

  std::string display;

private:
  pid_t xvfb_ = -1;
  std::string savedDisplay_;
};

TEST_F(WindowListTest, TopFirstWithTooltipsHiddenWindowsAndFramedClients) {
  XClient x(display);
  ASSERT_TRUE(x.Ok());
  const xcb_window_t bottom = x.Window(0);
  x.Title(bottom, "T1 bottom", "T1 bottom");
  x.Map(bottom);
  const xcb_window_t hidden = x.Window(0);  // never mapped, as a window kept in the tray
  x.Title(hidden, "T2 hidden", "T2 hidden");
  // A window manager's frame, untitled, around a managed client.
  const xcb_window_t frame = x.Window(0);
  const xcb_window_t client = x.Window(frame);
  x.Title(client, "T3 framed \xC3\x9C \xE2\x82\xAC \xE4\xB8\xAD", "T3 framed \xDC");
  x.Managed(client);
  x.Map(client);
  x.Map(frame);
  const xcb_window_t old = x.Window(0);
  x.OldTitleOnly(old, "T4 old \xE9");
  x.Map(old);
  const xcb_window_t tip = x.Window(0, /*overrideRedirect=*/true);
  x.Title(tip, "T5 tip", "T5 tip");
  x.Tooltip(tip);
  x.Map(tip);
  x.Sync();

  const auto list = plat::ListTopLevelWindows();
  EXPECT_EQ(Titles(list, "T"), (std::vector<std::string>{"T5 tip (tooltip)", "T4 old \xE9", "T3 framed \xDC \x80 ?",
                                                         "T2 hidden", "T1 bottom"}));
  x.Destroy(tip);
  x.Sync();
  EXPECT_EQ(Titles(plat::ListTopLevelWindows(), "T5").size(), 0u);
}

TEST_F(WindowListTest, NoDisplayNoWindows) {
  unsetenv("DISPLAY");
  EXPECT_TRUE(plat::ListTopLevelWindows().empty());
  setenv("DISPLAY", ":4711", 1);  // nobody serves it
  EXPECT_TRUE(plat::ListTopLevelWindows().empty());
  setenv("DISPLAY", "not a display", 1);
  EXPECT_TRUE(plat::ListTopLevelWindows().empty());
}

// The daemon opens libxcb only when it looks at a display; as a service it
// has none, and the library must not be loaded with the program.
TEST(WindowListLinkTest, TheDaemonProgramDoesNotLoadLibxcbAtStart) {
  const char* ns = std::getenv("CORVILINK_NETNS");
  if (ns == nullptr || std::string(ns) != "1") FAIL() << "only inside the private namespace (scripts/isolate)";
  const std::string daemon = std::string(CORVILINK_BUILD_DIR) + "/daemon/corvilinkd";
  ASSERT_EQ(access(daemon.c_str(), X_OK), 0) << daemon;
  // The dynamic loader lists what it maps with the program, and runs nothing.
  std::unique_ptr<FILE, int (*)(FILE*)> out(popen(("LD_TRACE_LOADED_OBJECTS=1 '" + daemon + "'").c_str(), "r"),
                                            pclose);
  ASSERT_NE(out, nullptr);
  std::string libs;
  char buf[512];
  while (std::fgets(buf, sizeof buf, out.get()) != nullptr) libs += buf;
  EXPECT_NE(libs.find("libuv.so"), std::string::npos) << libs;
  EXPECT_EQ(libs.find("libxcb"), std::string::npos) << libs;
  EXPECT_EQ(libs.find("libXau"), std::string::npos) << libs;
}

TEST_F(WindowListTest, TheDaemonEngineFindsTheDesktopProgramButNotItsTooltip) {
  corvitest::TempDir dir;
  corvilink::Values = {};
  corvilink::SetProgramPath(dir.path() + "/corvilinkd");
  plat::SetVersionBlock(&corvilink::kDaemonVersion);
  {
    plat::UvLoop loop;
    corvilink::TCorvilinkC engine(loop);
    XClient x(display);
    ASSERT_TRUE(x.Ok());
    const xcb_window_t tip = x.Window(0, true);
    x.Title(tip, "Corvilink-Poster GUI 4.6", "Corvilink-Poster GUI 4.6");
    x.Tooltip(tip);
    x.Map(tip);
    x.Sync();
    EXPECT_FALSE(corvilink::FindWindowByTitle(loop, "Corvilink-Poster "));

    const xcb_window_t main = x.Window(0);
    x.Title(main, "Corvilink-Poster GUI 4.6", "Corvilink-Poster GUI 4.6");
    x.Map(main);
    x.Sync();
    EXPECT_TRUE(corvilink::FindWindowByTitle(loop, "Corvilink-Poster "));

    corvilink::Values.IsDaemon = true;
    engine.TimerProcListTimer();
    EXPECT_TRUE(corvilink::Values.WindowsClientRunning);
    EXPECT_EQ(engine.TimerSetIP.Interval(), 10000u);

    x.Destroy(main);
    x.Sync();
    engine.TimerProcListTimer();
    EXPECT_FALSE(corvilink::Values.WindowsClientRunning);
  }
  corvilink::SetProgramPath("");
  plat::SetVersionBlock(nullptr);
  corvilink::Values = {};
}

}  // namespace

#include "WindowList.h"

#include <dlfcn.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "UvLoop.h"
#include "Windows1252.h"

namespace plat {

namespace {

// libxcb is opened on the first look at a display, not linked: a service has
// no display, and the library with its own dependencies would only add to
// the resident memory of the daemon.
struct Xcb {
  decltype(&xcb_connect) connect;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xcb_connection_has_error) connection_has_error;
  decltype(&xcb_get_setup) get_setup;
  decltype(&xcb_setup_roots_iterator) setup_roots_iterator;
  decltype(&xcb_screen_next) screen_next;
  decltype(&xcb_intern_atom) intern_atom;
  decltype(&xcb_intern_atom_reply) intern_atom_reply;
  decltype(&xcb_get_property) get_property;
  decltype(&xcb_get_property_reply) get_property_reply;
  decltype(&xcb_get_property_value) get_property_value;
  decltype(&xcb_get_property_value_length) get_property_value_length;
  decltype(&xcb_query_tree) query_tree;
  decltype(&xcb_query_tree_reply) query_tree_reply;
  decltype(&xcb_query_tree_children) query_tree_children;
  decltype(&xcb_query_tree_children_length) query_tree_children_length;
};

template <class F>
bool Bind(void* lib, const char* name, F& f) {
  f = reinterpret_cast<F>(::dlsym(lib, name));
  return f != nullptr;
}

// Null when the library is missing or lacks a function; asked once per process.
const Xcb* LoadXcb() {
  static const Xcb* const loaded = []() -> const Xcb* {
    void* lib = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    static Xcb x;
    // The member's name is the function's without its prefix, so that no
    // pointer can get another function's address.
#define CORVILINK_BIND(f) Bind(lib, "xcb_" #f, x.f)
    const bool ok = CORVILINK_BIND(connect) && CORVILINK_BIND(disconnect) &&
                    CORVILINK_BIND(connection_has_error) && CORVILINK_BIND(get_setup) &&
                    CORVILINK_BIND(setup_roots_iterator) && CORVILINK_BIND(screen_next) &&
                    CORVILINK_BIND(intern_atom) && CORVILINK_BIND(intern_atom_reply) &&
                    CORVILINK_BIND(get_property) && CORVILINK_BIND(get_property_reply) &&
                    CORVILINK_BIND(get_property_value) && CORVILINK_BIND(get_property_value_length) &&
                    CORVILINK_BIND(query_tree) && CORVILINK_BIND(query_tree_reply) &&
                    CORVILINK_BIND(query_tree_children) && CORVILINK_BIND(query_tree_children_length);
#undef CORVILINK_BIND
    if (!ok) {
      ::dlclose(lib);
      return nullptr;
    }
    return &x;
  }();
  return loaded;
}

template <class T>
using Reply = std::unique_ptr<T, void (*)(void*)>;

template <class T>
Reply<T> Take(T* reply) {
  return Reply<T>(reply, std::free);
}

// An open connection and the library it came from.
struct X11 {
  const Xcb& lib;
  xcb_connection_t* conn;
};

struct Atoms {
  xcb_atom_t wmState = XCB_ATOM_NONE;
  xcb_atom_t netWmName = XCB_ATOM_NONE;
  xcb_atom_t utf8String = XCB_ATOM_NONE;
  xcb_atom_t windowType = XCB_ATOM_NONE;
  xcb_atom_t tooltipType = XCB_ATOM_NONE;
};

// Atoms that no client ever made cannot be on any window: only existing ones.
Atoms InternAtoms(const X11& x) {
  const char* names[] = {"WM_STATE", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_WINDOW_TYPE",
                         "_NET_WM_WINDOW_TYPE_TOOLTIP"};
  xcb_intern_atom_cookie_t cookies[5];
  for (int i = 0; i < 5; ++i)
    cookies[i] = x.lib.intern_atom(x.conn, 1, uint16_t(std::char_traits<char>::length(names[i])), names[i]);
  xcb_atom_t got[5];
  for (int i = 0; i < 5; ++i) {
    auto r = Take(x.lib.intern_atom_reply(x.conn, cookies[i], nullptr));
    got[i] = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  }
  return {got[0], got[1], got[2], got[3], got[4]};
}

using Cookie = std::optional<xcb_get_property_cookie_t>;

Cookie AskProperty(const X11& x, xcb_window_t w, xcb_atom_t property, uint32_t longs) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  return x.lib.get_property(x.conn, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
}

Reply<xcb_get_property_reply_t> Answer(const X11& x, const Cookie& cookie) {
  if (!cookie) return Take<xcb_get_property_reply_t>(nullptr);
  auto r = Take(x.lib.get_property_reply(x.conn, *cookie, nullptr));
  if (r && r->type == XCB_ATOM_NONE) r.reset();  // no such property
  return r;
}

// The requests for one window, sent before any answer is awaited.
struct Asked {
  Cookie state, netName, name, type;
};

struct Seen {
  bool managed = false;  // carries WM_STATE: a client window
  std::string title;
  bool tooltip = false;
};

Asked Ask(const X11& x, xcb_window_t w, const Atoms& atoms) {
  // A title buffer holds 255 bytes; 1 KiB leaves room for multi-byte text.
  return {AskProperty(x, w, atoms.wmState, 2), AskProperty(x, w, atoms.netWmName, 256),
          AskProperty(x, w, XCB_ATOM_WM_NAME, 256), AskProperty(x, w, atoms.windowType, 32)};
}

std::string Text(const Xcb& lib, const xcb_get_property_reply_t& r, const Atoms& atoms) {
  if (r.format != 8) return {};
  std::string bytes(static_cast<const char*>(lib.get_property_value(&r)),
                    size_t(lib.get_property_value_length(&r)));
  if (atoms.utf8String != XCB_ATOM_NONE && r.type == atoms.utf8String) return Cp1252FromUtf8(bytes);
  return Cp1252FromLatin1(bytes);
}

Seen Collect(const X11& x, const Asked& asked, const Atoms& atoms) {
  Seen seen;
  seen.managed = Answer(x, asked.state) != nullptr;
  auto netName = Answer(x, asked.netName);
  auto name = Answer(x, asked.name);
  if (netName) seen.title = Text(x.lib, *netName, atoms);
  if (seen.title.empty() && name) seen.title = Text(x.lib, *name, atoms);
  auto type = Answer(x, asked.type);
  if (type && type->format == 32 && atoms.tooltipType != XCB_ATOM_NONE) {
    const auto* list = static_cast<const xcb_atom_t*>(x.lib.get_property_value(type.get()));
    const int n = x.lib.get_property_value_length(type.get()) / 4;
    for (int i = 0; i < n; ++i)
      if (list[i] == atoms.tooltipType) seen.tooltip = true;
  }
  return seen;
}

std::vector<xcb_window_t> Children(const X11& x, xcb_query_tree_cookie_t cookie) {
  auto tree = Take(x.lib.query_tree_reply(x.conn, cookie, nullptr));
  if (!tree) return {};
  const xcb_window_t* kids = x.lib.query_tree_children(tree.get());
  return std::vector<xcb_window_t>(kids, kids + x.lib.query_tree_children_length(tree.get()));
}

// The client window inside a window manager's frame: the first window with
// WM_STATE, searched level by level.
std::optional<xcb_window_t> ClientOf(const X11& x, xcb_window_t frame, const Atoms& atoms) {
  if (atoms.wmState == XCB_ATOM_NONE) return std::nullopt;
  std::vector<xcb_window_t> level{frame};
  for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> trees;
    for (xcb_window_t w : level) trees.push_back(x.lib.query_tree(x.conn, w));
    std::vector<xcb_window_t> next;
    for (auto cookie : trees)
      for (xcb_window_t w : Children(x, cookie)) next.push_back(w);
    if (next.size() > 256) next.resize(256);
    std::vector<Cookie> states;
    for (xcb_window_t w : next) states.push_back(AskProperty(x, w, atoms.wmState, 2));
    std::optional<xcb_window_t> found;
    for (size_t i = 0; i < next.size(); ++i)
      if (Answer(x, states[i]) && !found) found = next[i];
    if (found) return found;
    level = std::move(next);
  }
  return std::nullopt;
}

}  // namespace

std::vector<TopWindow> ListTopLevelWindows() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return {};
  const Xcb* lib = LoadXcb();
  if (lib == nullptr) return {};
  int screenNo = 0;
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> conn(lib->connect(display, &screenNo),
                                                                      lib->disconnect);
  const X11 x{*lib, conn.get()};
  if (lib->connection_has_error(x.conn)) return {};

  xcb_screen_iterator_t screen = lib->setup_roots_iterator(lib->get_setup(x.conn));
  for (int i = 0; i < screenNo && screen.rem > 0; ++i) lib->screen_next(&screen);
  if (screen.rem <= 0) return {};
  const xcb_query_tree_cookie_t rootTree = lib->query_tree(x.conn, screen.data->root);
  const Atoms atoms = InternAtoms(x);

  // The server lists a parent's children from the bottom of the stack up.
  std::vector<xcb_window_t> windows = Children(x, rootTree);
  std::vector<Asked> asked;
  asked.reserve(windows.size());
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) asked.push_back(Ask(x, *it, atoms));
  std::vector<Seen> seen;
  seen.reserve(asked.size());
  for (const Asked& a : asked) seen.push_back(Collect(x, a, atoms));

  std::vector<TopWindow> out;
  out.reserve(seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    Seen s = std::move(seen[i]);
    // Untitled and unmanaged: most likely a frame around a client.
    if (!s.managed && s.title.empty()) {
      if (auto client = ClientOf(x, windows[windows.size() - 1 - i], atoms))
        s = Collect(x, Ask(x, *client, atoms), atoms);
    }
    out.push_back(TopWindow{std::move(s.title), s.tooltip});
  }
  return out;
}

std::vector<TopWindow> UvLoop::TopLevelWindows() { return ListTopLevelWindows(); }

}  // namespace plat

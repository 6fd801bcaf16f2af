#include "WindowList.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "UvLoop.h"

namespace plat {

namespace {

// Unicode for the bytes 0x80..0x9F; the five holes map to themselves.
const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char Cp1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return char(cp);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == cp) return char(0x80 + i);
  return '?';
}

std::string Latin1ToCp1252(const std::string& latin1) {
  std::string out;
  for (unsigned char b : latin1) out += Cp1252(b);
  return out;
}

template <class T>
using Reply = std::unique_ptr<T, void (*)(void*)>;

template <class T>
Reply<T> Take(T* reply) {
  return Reply<T>(reply, std::free);
}

struct Atoms {
  xcb_atom_t wmState = XCB_ATOM_NONE;
  xcb_atom_t netWmName = XCB_ATOM_NONE;
  xcb_atom_t utf8String = XCB_ATOM_NONE;
  xcb_atom_t windowType = XCB_ATOM_NONE;
  xcb_atom_t tooltipType = XCB_ATOM_NONE;
};

// Atoms that no client ever made cannot be on any window: only existing ones.
Atoms InternAtoms(xcb_connection_t* c) {
  const char* names[] = {"WM_STATE", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_WINDOW_TYPE",
                         "_NET_WM_WINDOW_TYPE_TOOLTIP"};
  xcb_intern_atom_cookie_t cookies[5];
  for (int i = 0; i < 5; ++i)
    cookies[i] = xcb_intern_atom(c, 1, uint16_t(std::char_traits<char>::length(names[i])), names[i]);
  xcb_atom_t got[5];
  for (int i = 0; i < 5; ++i) {
    auto r = Take(xcb_intern_atom_reply(c, cookies[i], nullptr));
    got[i] = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  }
  return {got[0], got[1], got[2], got[3], got[4]};
}

using Cookie = std::optional<xcb_get_property_cookie_t>;

Cookie AskProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, uint32_t longs) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  return xcb_get_property(c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
}

Reply<xcb_get_property_reply_t> Answer(xcb_connection_t* c, const Cookie& cookie) {
  if (!cookie) return Take<xcb_get_property_reply_t>(nullptr);
  auto r = Take(xcb_get_property_reply(c, *cookie, nullptr));
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

Asked Ask(xcb_connection_t* c, xcb_window_t w, const Atoms& atoms) {
  // A title buffer holds 255 bytes; 1 KiB leaves room for multi-byte text.
  return {AskProperty(c, w, atoms.wmState, 2), AskProperty(c, w, atoms.netWmName, 256),
          AskProperty(c, w, XCB_ATOM_WM_NAME, 256), AskProperty(c, w, atoms.windowType, 32)};
}

std::string Text(const xcb_get_property_reply_t& r, const Atoms& atoms) {
  if (r.format != 8) return {};
  std::string bytes(static_cast<const char*>(xcb_get_property_value(&r)),
                    size_t(xcb_get_property_value_length(&r)));
  if (atoms.utf8String != XCB_ATOM_NONE && r.type == atoms.utf8String) return Utf8ToCp1252(bytes);
  return Latin1ToCp1252(bytes);
}

Seen Collect(xcb_connection_t* c, const Asked& asked, const Atoms& atoms) {
  Seen seen;
  seen.managed = Answer(c, asked.state) != nullptr;
  auto netName = Answer(c, asked.netName);
  auto name = Answer(c, asked.name);
  if (netName) seen.title = Text(*netName, atoms);
  if (seen.title.empty() && name) seen.title = Text(*name, atoms);
  auto type = Answer(c, asked.type);
  if (type && type->format == 32 && atoms.tooltipType != XCB_ATOM_NONE) {
    const auto* list = static_cast<const xcb_atom_t*>(xcb_get_property_value(type.get()));
    const int n = xcb_get_property_value_length(type.get()) / 4;
    for (int i = 0; i < n; ++i)
      if (list[i] == atoms.tooltipType) seen.tooltip = true;
  }
  return seen;
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_query_tree_cookie_t cookie) {
  auto tree = Take(xcb_query_tree_reply(c, cookie, nullptr));
  if (!tree) return {};
  const xcb_window_t* kids = xcb_query_tree_children(tree.get());
  return std::vector<xcb_window_t>(kids, kids + xcb_query_tree_children_length(tree.get()));
}

// The client window inside a window manager's frame: the first window with
// WM_STATE, searched level by level.
std::optional<xcb_window_t> ClientOf(xcb_connection_t* c, xcb_window_t frame, const Atoms& atoms) {
  if (atoms.wmState == XCB_ATOM_NONE) return std::nullopt;
  std::vector<xcb_window_t> level{frame};
  for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> trees;
    for (xcb_window_t w : level) trees.push_back(xcb_query_tree(c, w));
    std::vector<xcb_window_t> next;
    for (auto cookie : trees)
      for (xcb_window_t w : Children(c, cookie)) next.push_back(w);
    if (next.size() > 256) next.resize(256);
    std::vector<Cookie> states;
    for (xcb_window_t w : next) states.push_back(AskProperty(c, w, atoms.wmState, 2));
    std::optional<xcb_window_t> found;
    for (size_t i = 0; i < next.size(); ++i)
      if (Answer(c, states[i]) && !found) found = next[i];
    if (found) return found;
    level = std::move(next);
  }
  return std::nullopt;
}

}  // namespace

std::string Utf8ToCp1252(const std::string& utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t len;
    uint32_t cp;
    if (lead < 0x80) {
      len = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4, cp = lead & 0x07u;
    } else {
      out += '?';
      ++i;
      continue;
    }
    bool ok = i + len <= utf8.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char b = static_cast<unsigned char>(utf8[i + k]);
      ok = (b & 0xC0) == 0x80;
      cp = cp << 6 | (b & 0x3Fu);
    }
    static const uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kShortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += '?';
      ++i;
      continue;
    }
    out += Cp1252(cp);
    i += len;
  }
  return out;
}

std::vector<TopWindow> ListTopLevelWindows() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return {};
  int screenNo = 0;
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> conn(xcb_connect(display, &screenNo),
                                                                      xcb_disconnect);
  xcb_connection_t* c = conn.get();
  if (xcb_connection_has_error(c)) return {};

  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNo && screen.rem > 0; ++i) xcb_screen_next(&screen);
  if (screen.rem <= 0) return {};
  const xcb_query_tree_cookie_t rootTree = xcb_query_tree(c, screen.data->root);
  const Atoms atoms = InternAtoms(c);

  // The server lists a parent's children from the bottom of the stack up.
  std::vector<xcb_window_t> windows = Children(c, rootTree);
  std::vector<Asked> asked;
  asked.reserve(windows.size());
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) asked.push_back(Ask(c, *it, atoms));
  std::vector<Seen> seen;
  seen.reserve(asked.size());
  for (const Asked& a : asked) seen.push_back(Collect(c, a, atoms));

  std::vector<TopWindow> out;
  out.reserve(seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    Seen s = std::move(seen[i]);
    // Untitled and unmanaged: most likely a frame around a client.
    if (!s.managed && s.title.empty()) {
      if (auto client = ClientOf(c, windows[windows.size() - 1 - i], atoms))
        s = Collect(c, Ask(c, *client, atoms), atoms);
    }
    out.push_back(TopWindow{std::move(s.title), s.tooltip});
  }
  return out;
}

std::vector<TopWindow> UvLoop::TopLevelWindows() { return ListTopLevelWindows(); }

}  // namespace plat

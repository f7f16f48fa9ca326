// Window search and activation over Xlib: one display connection per call, every X error
// of the call ignored, since any window may vanish while we look at it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <glib.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/window_search.h"

namespace halyard {
namespace {

// A window manager puts each client into frames of its own: this many levels are searched
// below an untitled top-level window.
constexpr int kFrameDepth = 3;
// Titles longer than this are read in part; a search text is far shorter.
constexpr long kTitleLimit = 4096;

WindowHandle last_found_window = 0;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayConnection = std::unique_ptr<Display, DisplayCloser>;

struct XFreeDeleter {
  void operator()(void* data) const {
    if (data != nullptr) XFree(data);
  }
};

struct GFreeDeleter {
  void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

// Installs an error handler that ignores every error for as long as it lives; the errors of
// our requests are collected before the previous handler returns. Xlib's default handler
// would end the process on the BadWindow of a window closed under our feet.
class ScopedErrorTrap {
 public:
  explicit ScopedErrorTrap(Display* display)
      : display_(display), previous_(XSetErrorHandler(&Ignore)) {}
  ~ScopedErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
  }
  ScopedErrorTrap(const ScopedErrorTrap&) = delete;
  ScopedErrorTrap& operator=(const ScopedErrorTrap&) = delete;

 private:
  static int Ignore(Display*, XErrorEvent*) { return 0; }

  Display* display_;
  int (*previous_)(Display*, XErrorEvent*);
};

struct Property {
  Atom type = None;
  int format = 0;
  std::string bytes;  // items of 32-bit properties are longs, as Xlib returns them
  unsigned long count = 0;
};

std::optional<Property> ReadProperty(Display* display, Window window, Atom name) {
  Property property;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, name, 0, kTitleLimit / 4, False, AnyPropertyType,
                         &property.type, &property.format, &property.count, &remaining,
                         &data) != Success) {
    return std::nullopt;
  }
  const std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
  if (property.type == None || data == nullptr) return std::nullopt;
  const std::size_t item_size = property.format == 32   ? sizeof(long)
                                : property.format == 16 ? sizeof(short)
                                                        : 1;
  property.bytes.assign(reinterpret_cast<const char*>(data), property.count * item_size);
  return property;
}

// The legacy title in Latin-1 (STRING), COMPOUND_TEXT or another encoding, through Xlib.
std::string ConvertWithXlib(Display* display, const Property& property) {
  XTextProperty text{reinterpret_cast<unsigned char*>(const_cast<char*>(property.bytes.data())),
                     property.type, property.format, property.count};
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(display, &text, &list, &count) < Success || list == nullptr) {
    return property.bytes;
  }
  std::string joined;
  for (int i = 0; i < count; ++i) joined += list[i];
  XFreeStringList(list);
  return joined;
}

// Unicode case folding, composed, so that "Ärger", "ÄRGER" and a decomposed "ärger" meet.
// Invalid UTF-8 is replaced first.
std::string FoldCase(const std::string& text) {
  const GText valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  const GText folded(g_utf8_casefold(valid.get(), -1));
  const GText composed(g_utf8_normalize(folded.get(), -1, G_NORMALIZE_DEFAULT_COMPOSE));
  return composed ? std::string(composed.get()) : std::string(folded.get());
}

class WindowSearch {
 public:
  explicit WindowSearch(Display* display)
      : display_(display),
        net_wm_name_(XInternAtom(display, "_NET_WM_NAME", False)),
        net_wm_pid_(XInternAtom(display, "_NET_WM_PID", False)),
        utf8_string_(XInternAtom(display, "UTF8_STRING", False)),
        can_ask_for_owner_(ServerKnowsClientProcesses(display)) {}

  Window Find(const std::string& folded_target) {
    target_ = folded_target;
    for (int screen = 0; screen < ScreenCount(display_); ++screen) {
      if (Window found = SearchBelow(RootWindow(display_, screen), 0)) return found;
    }
    return None;
  }

 private:
  static bool ServerKnowsClientProcesses(Display* display) {
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    return XResQueryExtension(display, &event_base, &error_base) &&
           XResQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 2));
  }

  // Children are searched from the top of the stacking order down. A titled window is a
  // client and ends its branch; an untitled one may be a window manager's frame around one.
  Window SearchBelow(Window parent, int depth) {
    Window root = None;
    Window parent_of_parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, parent, &root, &parent_of_parent, &children, &count)) return None;
    const std::unique_ptr<Window, XFreeDeleter> owned(children);
    for (unsigned int i = count; i-- > 0;) {
      const Window window = children[i];
      const std::string title = Title(window);
      if (!title.empty()) {
        if (Matches(title) && !IsOwnWindow(window)) return window;
        continue;
      }
      if (depth < kFrameDepth) {
        if (Window found = SearchBelow(window, depth + 1)) return found;
      }
    }
    return None;
  }

  std::string Title(Window window) {
    if (auto name = ReadProperty(display_, window, net_wm_name_)) {
      if (name->format == 8 && !name->bytes.empty()) return name->bytes;
    }
    auto name = ReadProperty(display_, window, XA_WM_NAME);
    if (!name || name->format != 8 || name->bytes.empty()) return {};
    if (name->type == utf8_string_) return name->bytes;
    return ConvertWithXlib(display_, *name);
  }

  bool Matches(const std::string& title) const {
    return FoldCase(title).find(target_) != std::string::npos;
  }

  // Ours when the window says so (_NET_WM_PID, as GTK sets it) or when the server reports
  // that one of our connections created it, which also covers windows without the property.
  bool IsOwnWindow(Window window) {
    const pid_t own_process = getpid();
    if (auto pid = ReadProperty(display_, window, net_wm_pid_)) {
      if (pid->type == XA_CARDINAL && pid->format == 32 && pid->count == 1 &&
          *reinterpret_cast<const long*>(pid->bytes.data()) == own_process) {
        return true;
      }
    }
    if (!can_ask_for_owner_) return false;
    XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
    long id_count = 0;
    XResClientIdValue* ids = nullptr;
    if (XResQueryClientIds(display_, 1, &spec, &id_count, &ids) != Success) return false;
    bool own = false;
    for (long i = 0; i < id_count; ++i) own = own || XResGetClientPid(&ids[i]) == own_process;
    XResClientIdsDestroy(id_count, ids);
    return own;
  }

  Display* display_;
  Atom net_wm_name_;
  Atom net_wm_pid_;
  Atom utf8_string_;
  bool can_ask_for_owner_;
  std::string target_;
};

DisplayConnection OpenDisplay() {
  return DisplayConnection(XOpenDisplay(nullptr));
}

Window Search(Display* display, const std::string& title) {
  return WindowSearch(display).Find(FoldCase(title));
}

bool WindowManagerRuns(Display* display, Window root) {
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  auto property = ReadProperty(display, root, check);
  return property && property->type == XA_WINDOW && property->count == 1;
}

void Activate(Display* display, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return;
  const Window root = attributes.root;
  XMapRaised(display, window);
  if (WindowManagerRuns(display, root)) {
    // Source 2: a request on the user's behalf, which window managers honour without
    // their focus-stealing checks.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  } else {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
  }
}

}  // namespace

WindowHandle FindApplicationWindow(const std::string& title) {
  if (title.empty()) return 0;
  const DisplayConnection display = OpenDisplay();
  if (!display) return 0;
  const ScopedErrorTrap trap(display.get());
  return Search(display.get(), title);
}

bool ActivateApplication(const std::string& title) {
  last_found_window = 0;
  if (title.empty()) return false;
  const DisplayConnection display = OpenDisplay();
  if (!display) return false;
  const ScopedErrorTrap trap(display.get());
  const Window window = Search(display.get(), title);
  last_found_window = window;
  if (window == None) return false;
  Activate(display.get(), window);
  return true;
}

WindowHandle LastFoundWindow() {
  return last_found_window;
}

}  // namespace halyard

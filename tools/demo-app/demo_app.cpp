// halyard-demo-app TITLE [LINE]...: the demo's stand-in application. Shows one window titled
// TITLE with the lines below it, until the window is closed or the program is stopped.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

constexpr int kWidth = 520;
constexpr int kHeight = 220;

void SetTitle(Display* display, Window window, const std::string& title) {
  XStoreName(display, window, title.c_str());
  // The title as UTF-8 too, which window searches read first.
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
}

void Paint(Display* display, Window window, GC gc, const std::vector<std::string>& lines) {
  XClearWindow(display, window);
  // A title bar of the application's own, so a screenshot without a window manager shows it.
  XSetForeground(display, gc, 0x1f5fbf);
  XFillRectangle(display, window, gc, 0, 0, kWidth, 34);
  XSetForeground(display, gc, 0xffffff);
  if (!lines.empty()) {
    XDrawString(display, window, gc, 14, 22, lines[0].c_str(), static_cast<int>(lines[0].size()));
  }
  XSetForeground(display, gc, 0x1d2433);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    XDrawString(display, window, gc, 14, 40 + 22 * static_cast<int>(i), lines[i].c_str(),
                static_cast<int>(lines[i].size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: halyard-demo-app TITLE [LINE]...\n");
    return 64;
  }
  const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
  if (!display) {
    std::fprintf(stderr, "halyard-demo-app: cannot open the display\n");
    return 1;
  }
  const std::vector<std::string> lines(argv + 1, argv + argc);
  Display* d = display.get();
  const int screen = DefaultScreen(d);
  const Window window = XCreateSimpleWindow(d, RootWindow(d, screen), 40, 40, kWidth, kHeight, 0,
                                            BlackPixel(d, screen), 0xf3f5f9);
  SetTitle(d, window, lines[0]);
  Atom delete_window = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, window, &delete_window, 1);
  XSelectInput(d, window, ExposureMask | StructureNotifyMask);
  const GC gc = XCreateGC(d, window, 0, nullptr);
  XMapWindow(d, window);

  for (XEvent event;;) {
    XNextEvent(d, &event);
    if (event.type == Expose && event.xexpose.count == 0) Paint(d, window, gc, lines);
    if (event.type == DestroyNotify) break;
    if (event.type == ClientMessage &&
        static_cast<Atom>(event.xclient.data.l[0]) == delete_window) {
      break;
    }
  }
  XFreeGC(d, gc);
  return 0;
}

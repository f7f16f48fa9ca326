// Tests of the window search on a private Xvfb server, against windows that a child process
// creates with raw Xlib: titles in both properties and encodings, hidden and framed windows,
// our own windows, windows vanishing during the walk, and activation with and without a
// window manager.
#include "platform/window_search.h"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros (None, Bool, Status) that gtest's own names would meet.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace halyard {
namespace {

using namespace std::chrono_literals;

bool OnPath(const std::string& program) {
  std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(path, folder, ':');) {
    if (access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// An Xvfb server of our own; Xvfb picks a free display number itself (-displayfd), so
// parallel tests never race for one.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int ready[2];
    if (pipe(ready) != 0) return;
    process_id_ = fork();
    if (process_id_ == 0) {
      close(ready[0]);
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a crashed test
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      const std::string fd = std::to_string(ready[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-noreset",
             "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    std::string number;
    char c = 0;
    while (read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (process_id_ <= 0) return;
    kill(process_id_, SIGTERM);
    waitpid(process_id_, nullptr, 0);
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  const std::string& Name() const { return name_; }

 private:
  pid_t process_id_ = -1;
  std::string name_;
};

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayConnection = std::unique_ptr<Display, DisplayCloser>;

Window CreateWindow(Display* display, Window parent) {
  return XCreateSimpleWindow(display, parent, 10, 10, 120, 80, 0, 0, 0);
}

void SetUtf8Title(Display* display, Window window, const std::string& title) {
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
}

void SetProcessId(Display* display, Window window, pid_t process_id) {
  const long value = process_id;
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
}

struct TestWindows {
  Window utf8_titled;
  Window latin1_titled;
  Window hidden;
  Window framed_client;
  Window claims_our_process;
};

// A child process whose X connection owns the windows, so they are not ours. body runs in
// the child with its display, writes what it wants the parent to know into the pipe, and
// the child then keeps its windows until the parent lets it go.
class WindowOwner {
 public:
  template <typename Body>
  WindowOwner(const std::string& display_name, Body body) {
    int report[2];
    int hold[2];
    if (pipe(report) != 0 || pipe(hold) != 0) return;
    process_id_ = fork();
    if (process_id_ == 0) {
      close(report[0]);
      close(hold[1]);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      Display* display = XOpenDisplay(display_name.c_str());
      if (display == nullptr) _exit(1);
      body(display, report[1], hold[0]);
      XSync(display, False);
      char c;
      while (read(hold[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(report[1]);
    close(hold[0]);
    report_ = report[0];
    hold_ = hold[1];
  }
  ~WindowOwner() {
    close(hold_);
    close(report_);
    if (process_id_ <= 0) return;
    kill(process_id_, SIGTERM);
    waitpid(process_id_, nullptr, 0);
  }
  WindowOwner(const WindowOwner&) = delete;
  WindowOwner& operator=(const WindowOwner&) = delete;

  template <typename Value>
  bool Read(Value& value) {
    return read(report_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  }

 private:
  pid_t process_id_ = -1;
  int report_ = -1;
  int hold_ = -1;
};

class window_search : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!OnPath("Xvfb")) return;
    server_ = new VirtualDisplay();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (server_ == nullptr) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
    ASSERT_FALSE(server_->Name().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server_->Name().c_str(), 1);
    display_.reset(XOpenDisplay(nullptr));
    ASSERT_TRUE(display_);
  }

  // Windows of another process, as the tests below expect them.
  std::unique_ptr<WindowOwner> StartApplication(TestWindows& windows) {
    const pid_t test_process = getpid();
    auto owner = std::make_unique<WindowOwner>(
        server_->Name(), [test_process](Display* display, int report, int) {
          const Window root = DefaultRootWindow(display);
          TestWindows created{};
          created.utf8_titled = CreateWindow(display, root);
          SetUtf8Title(display, created.utf8_titled, "Monthly LEDGER view \u2013 \u00c4rger");
          XMapWindow(display, created.utf8_titled);

          created.latin1_titled = CreateWindow(display, root);
          XStoreName(display, created.latin1_titled, "Caf\xe9 Legacy Tool");
          XMapWindow(display, created.latin1_titled);

          created.hidden = CreateWindow(display, root);
          SetUtf8Title(display, created.hidden, "Hidden Notes");

          // Reparented into an untitled frame, as a window manager does.
          const Window frame = CreateWindow(display, root);
          created.framed_client = CreateWindow(display, root);
          SetUtf8Title(display, created.framed_client, "Framed Client");
          XReparentWindow(display, created.framed_client, frame, 0, 20);
          XMapWindow(display, created.framed_client);
          XMapWindow(display, frame);

          created.claims_our_process = CreateWindow(display, root);
          SetUtf8Title(display, created.claims_our_process, "Own Window Beta");
          SetProcessId(display, created.claims_our_process, test_process);
          XMapWindow(display, created.claims_our_process);

          XSync(display, False);
          (void)!write(report, &created, sizeof created);
        });
    EXPECT_TRUE(owner->Read(windows)) << "the window owner did not start";
    return owner;
  }

  static VirtualDisplay* server_;
  DisplayConnection display_;
};

VirtualDisplay* window_search::server_ = nullptr;

TEST_F(window_search, titles_are_found_case_blind_and_own_windows_never) {
  TestWindows windows{};
  const auto application = StartApplication(windows);
  // Created through this process's own connection, without a process id property.
  const Window own = CreateWindow(display_.get(), DefaultRootWindow(display_.get()));
  XStoreName(display_.get(), own, "Own Window Alpha");
  XMapWindow(display_.get(), own);
  XSync(display_.get(), False);

  const struct {
    std::string search;
    Window expected;
  } cases[] = {
      {"ledger", windows.utf8_titled},
      {"\u00e4RGER", windows.utf8_titled},  // non-ASCII letters fold too
      {"legacy TOOL", windows.latin1_titled},
      {"caf\u00c9", windows.latin1_titled},  // Latin-1 WM_NAME read as such
      {"hidden notes", windows.hidden},
      {"framed client", windows.framed_client},
      {"own window alpha", None},
      {"own window beta", None},
      {"", None},
      {"no such program", None},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(FindApplicationWindow(test.search), test.expected) << test.search;
  }
}

TEST_F(window_search, activation_maps_a_hidden_window_and_gives_it_the_focus) {
  TestWindows windows{};
  const auto application = StartApplication(windows);
  EXPECT_FALSE(ActivateApplication("no such program"));
  EXPECT_EQ(LastFoundWindow(), 0u);

  ASSERT_TRUE(ActivateApplication("HIDDEN"));
  EXPECT_EQ(LastFoundWindow(), windows.hidden);
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(display_.get(), windows.hidden, &attributes));
  EXPECT_EQ(attributes.map_state, IsViewable);
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display_.get(), &focus, &revert);
  EXPECT_EQ(focus, windows.hidden);
}

TEST_F(window_search, activation_asks_a_running_window_manager) {
  TestWindows windows{};
  const auto application = StartApplication(windows);
  // This connection plays the window manager: it announces itself and takes the requests.
  Display* manager = display_.get();
  const Window root = DefaultRootWindow(manager);
  const Window check = CreateWindow(manager, root);
  XChangeProperty(manager, root, XInternAtom(manager, "_NET_SUPPORTING_WM_CHECK", False), XA_WINDOW,
                  32, PropModeReplace, reinterpret_cast<const unsigned char*>(&check), 1);
  XSelectInput(manager, root, SubstructureRedirectMask);
  XSync(manager, False);

  ASSERT_TRUE(ActivateApplication("hidden notes"));
  const Atom active_window = XInternAtom(manager, "_NET_ACTIVE_WINDOW", False);
  bool map_requested = false;
  bool activation_requested = false;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!(map_requested && activation_requested) && std::chrono::steady_clock::now() < deadline) {
    if (XPending(manager) == 0) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    XEvent event;
    XNextEvent(manager, &event);
    if (event.type == MapRequest && event.xmaprequest.window == windows.hidden) {
      map_requested = true;
    }
    if (event.type == ClientMessage && event.xclient.message_type == active_window &&
        event.xclient.window == windows.hidden) {
      activation_requested = true;
    }
  }
  EXPECT_TRUE(map_requested);
  EXPECT_TRUE(activation_requested);
  XDeleteProperty(manager, root, XInternAtom(manager, "_NET_SUPPORTING_WM_CHECK", False));
  XSync(manager, False);
}

TEST_F(window_search, windows_vanishing_during_the_search_do_no_harm) {
  // Titled windows come and go as fast as the server takes them; a search that reads a
  // window after it has gone meets BadWindow.
  WindowOwner churn(server_->Name(), [](Display* display, int report, int hold) {
    const Window root = DefaultRootWindow(display);
    const char started = 1;
    (void)!write(report, &started, 1);
    // A ring of titled windows: the oldest goes as each new one comes.
    Window ring[40] = {};
    for (std::size_t next = 0;; next = (next + 1) % std::size(ring)) {
      if (ring[next] != None) XDestroyWindow(display, ring[next]);
      ring[next] = CreateWindow(display, root);
      SetUtf8Title(display, ring[next], "Churn");
      XFlush(display);
      // Ends when the parent lets go.
      pollfd wait{hold, POLLIN, 0};
      if (poll(&wait, 1, 0) > 0) return;
    }
  });
  char started = 0;
  ASSERT_TRUE(churn.Read(started));
  for (int i = 0; i < 300; ++i) EXPECT_EQ(FindApplicationWindow("never present"), 0u);
  bool churn_seen = false;
  for (int i = 0; i < 300 && !churn_seen; ++i) churn_seen = FindApplicationWindow("churn") != 0;
  EXPECT_TRUE(churn_seen) << "the churn did not run";
}

TEST_F(window_search, no_display_finds_nothing) {
  for (const char* display : {static_cast<const char*>(nullptr), ":9999"}) {
    if (display == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display, 1);
    }
    EXPECT_EQ(FindApplicationWindow("anything"), 0u);
    EXPECT_FALSE(ActivateApplication("anything"));
  }
}

}  // namespace
}  // namespace halyard

// What the window tests need around the program under test: a private X server, programs
// started and waited for, windows found and driven with xdotool, and screenshots.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halyard::testing {

/// An Xvfb server of its own (1280 x 1024, 96 dots per inch), stopped at destruction. While it
/// runs, DISPLAY names it, so every program started afterwards shows its windows there.
class XSession {
 public:
  XSession();
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  const std::string& Display() const { return display_; }

 private:
  int process_id_ = -1;
  std::string display_;
};

/// A program started in the background; stopped (SIGTERM, then SIGKILL) at destruction if it
/// still runs.
class Process {
 public:
  explicit Process(const std::vector<std::string>& arguments);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  /// The exit code once the program has ended within timeout, else std::nullopt.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  bool Running();
  void Stop();

 private:
  int process_id_ = -1;
  std::optional<int> exit_code_;
};

/// Runs a program to its end and returns what it printed on stdout ("" when it failed).
std::string RunAndRead(const std::vector<std::string>& arguments);

/// Polls condition until it holds or timeout passes; returns its last answer.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

/// The first window whose title contains name (xdotool's search), or "" after timeout.
std::string FindWindow(const std::string& name, std::chrono::milliseconds timeout);
bool WindowExists(const std::string& name);
/// Whether that very window is among the visible ones titled name.
bool WindowShown(const std::string& name, const std::string& window);

struct WindowBox {
  int x = 0, y = 0, width = 0, height = 0;
};
WindowBox Geometry(const std::string& window);
/// Whether a pixel of the colour ("#RRGGBB") shows in the window's area on screen.
bool ShowsColour(const std::string& window, const std::string& colour);

/// Gives the window the keyboard focus and types the keys (xdotool key names) into it.
void SendKeys(const std::string& window, const std::vector<std::string>& keys);
/// Types text into the focused window.
void TypeText(const std::string& text);
/// Clicks at a point relative to the window's top-left corner.
void ClickAt(const std::string& window, int x, int y);

/// Saves the whole screen as name.png in the test's screenshot folder and returns the path.
std::filesystem::path Screenshot(const std::string& name);

}  // namespace halyard::testing

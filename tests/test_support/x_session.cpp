// Xvfb, child processes and xdotool for the window tests.
#include "test_support/x_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace halyard::testing {
namespace {

using namespace std::chrono_literals;

// Starts a child that is stopped when the test process dies, so that a crashed test leaves no
// X server or program behind. stdout_fd: where its output goes; -1 discards it, -2 keeps ours.
int Spawn(const std::vector<std::string>& arguments, int stdout_fd = -2) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + arguments[0]);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (stdout_fd != -2) {
      const int target = stdout_fd >= 0 ? stdout_fd : open("/dev/null", O_WRONLY);
      dup2(target, STDOUT_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

std::optional<int> Reap(int pid, bool block) {
  int status = 0;
  if (waitpid(pid, &status, block ? 0 : WNOHANG) != pid) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

XSession::XSession() {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  // -displayfd picks a free display and writes its number once the server accepts clients.
  // -noreset: by default the server resets whenever its last client leaves, and a program that
  // connects during that reset fails to start ("Unable to initialize GTK+"). The tests poll
  // with short-lived xdotool and import clients while the program starts, so that would race.
  process_id_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24",
                       "-dpi", "96", "-nolisten", "tcp", "-noreset"});
  close(fds[1]);
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not start");
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
  // No accessibility bus on a test display; without this GTK waits for one at start.
  setenv("NO_AT_BRIDGE", "1", 1);
}

XSession::~XSession() {
  kill(process_id_, SIGTERM);
  Reap(process_id_, true);
}

Process::Process(const std::vector<std::string>& arguments) : process_id_(Spawn(arguments)) {}

Process::~Process() {
  Stop();
}

std::optional<int> Process::WaitForExit(std::chrono::milliseconds timeout) {
  WaitUntil([this] { return !Running(); }, timeout);
  return exit_code_;
}

bool Process::Running() {
  if (exit_code_) return false;
  exit_code_ = Reap(process_id_, false);
  return !exit_code_;
}

void Process::Stop() {
  if (!Running()) return;
  kill(process_id_, SIGTERM);
  if (WaitForExit(3s)) return;
  kill(process_id_, SIGKILL);
  exit_code_ = Reap(process_id_, true);
}

std::string RunAndRead(const std::vector<std::string>& arguments) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const int pid = Spawn(arguments, fds[1]);
  close(fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(fds[0]);
  Reap(pid, true);
  return output;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::string FindWindow(const std::string& name, std::chrono::milliseconds timeout) {
  std::string window;
  WaitUntil(
      [&] {
        std::istringstream ids(RunAndRead({"xdotool", "search", "--onlyvisible", "--name", name}));
        ids >> window;
        return !window.empty();
      },
      timeout);
  return window;
}

bool WindowExists(const std::string& name) {
  return !RunAndRead({"xdotool", "search", "--onlyvisible", "--name", name}).empty();
}

bool WindowShown(const std::string& name, const std::string& window) {
  std::istringstream ids(RunAndRead({"xdotool", "search", "--onlyvisible", "--name", name}));
  std::string id;
  while (ids >> id) {
    if (id == window) return true;
  }
  return false;
}

WindowBox Geometry(const std::string& window) {
  // --shell prints X=, Y=, WIDTH=, HEIGHT= lines.
  std::istringstream lines(RunAndRead({"xdotool", "getwindowgeometry", "--shell", window}));
  WindowBox box;
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const int value = std::atoi(line.c_str() + equals + 1);
    if (key == "X") box.x = value;
    if (key == "Y") box.y = value;
    if (key == "WIDTH") box.width = value;
    if (key == "HEIGHT") box.height = value;
  }
  return box;
}

bool ShowsColour(const std::string& window, const std::string& colour) {
  const WindowBox box = Geometry(window);
  if (box.width <= 0 || box.height <= 0) return false;
  // The screen's pixels inside the window, one "x,y: (r,g,b) #RRGGBB ..." line each.
  const std::string crop = std::to_string(box.width) + "x" + std::to_string(box.height) + "+" +
                           std::to_string(box.x) + "+" + std::to_string(box.y);
  const std::string pixels =
      RunAndRead({"import", "-silent", "-window", "root", "-crop", crop, "-depth", "8", "txt:-"});
  return pixels.find(" " + colour + " ") != std::string::npos;
}

void SendKeys(const std::string& window, const std::vector<std::string>& keys) {
  // Focus and keys in one run of xdotool, so nothing can take the focus in between.
  std::vector<std::string> command = {"xdotool", "windowfocus", "--sync", window, "sleep", "0.2"};
  for (const auto& key : keys) {
    command.insert(command.end(), {"key", "--clearmodifiers", key, "sleep", "0.2"});
  }
  RunAndRead(command);
}

void TypeText(const std::string& text) {
  RunAndRead({"xdotool", "type", "--delay", "20", text});
}

void ClickAt(const std::string& window, int x, int y) {
  RunAndRead({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y),
              "click", "1"});
}

std::filesystem::path Screenshot(const std::string& name) {
  // Kept in the build tree as the test's artefacts.
  const std::filesystem::path folder = std::filesystem::current_path() / "screenshots";
  std::filesystem::create_directories(folder);
  const std::filesystem::path file = folder / (name + ".png");
  RunAndRead({"import", "-window", "root", file.string()});
  return file;
}

}  // namespace halyard::testing

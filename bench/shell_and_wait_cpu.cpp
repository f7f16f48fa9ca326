// Waits for a command with ShellAndWait so that a script can measure the CPU the wait costs.
// Usage: bench_shell_and_wait_cpu ["command"] [timeout_seconds]   (default: "sleep 10" 0)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/host.h"
#include "support/file_functions.h"

namespace {

class QuietStatus : public halyard::SilentStatusWindow {
 public:
  void WriteLine(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
};

// No windows here: events have nothing to run, which leaves the wait's own cost to measure.
class ConsoleHost : public halyard::Host {
 public:
  void ShowMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  halyard::StatusWindow& Status() override { return status_; }
  void DoEvents() override { ++passes; }
  [[noreturn]] void EndProgram() override { std::exit(1); }

  long passes = 0;

 private:
  QuietStatus status_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "sleep 10";
  const int timeout_seconds = argc > 2 ? std::atoi(argv[2]) : 0;
  ConsoleHost host;
  const auto start = std::chrono::steady_clock::now();
  halyard::ShellAndWait(command, timeout_seconds, host);
  const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
  std::printf("waited %.2f s for \"%s\" in %ld polls\n", waited.count(), command.c_str(),
              host.passes);
  return 0;
}

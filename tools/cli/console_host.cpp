// The console host of halyard-cli.
#include "console_host.h"

#include <cstdlib>

#include "core/text.h"

namespace halyard::cli {
namespace {

// Written by the signal handler, read by DoEvents on the one thread of the run.
volatile std::sig_atomic_t interrupt_pending = 0;

extern "C" void OnInterrupt(int) {
  interrupt_pending = 1;
}

constexpr auto kBarRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kPlainLineInterval = std::chrono::seconds(2);
constexpr int kBarWidth = 30;

std::string Megabytes(long long bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

ConsoleStatus::ConsoleStatus(std::FILE* out, std::FILE* err, bool progress_as_bar)
    : out_(out), err_(err), progress_as_bar_(progress_as_bar) {}

void ConsoleStatus::WriteLine(const std::string& line) {
  BreakProgressLine();
  // Lines carry names from the server; their control characters must not reach the terminal.
  std::fprintf(out_, "%s\n", EscapeControlCharacters(line).c_str());
  std::fflush(out_);
}

void ConsoleStatus::TurnOnData() {
  transfer_start_ = Clock::now();
  last_drawn_ = transfer_start_;
  received_ = 0;
  total_ = -1;
}

void ConsoleStatus::TurnOffData() {
  // A bar ends showing the whole transfer; plain output stays quiet for short transfers.
  if (progress_line_open_) DrawProgress(received_, total_, Clock::now());
  BreakProgressLine();
}

void ConsoleStatus::ReportTransfer(long long received, long long total) {
  received_ = received;
  total_ = total;
  const Clock::time_point now = Clock::now();
  const auto interval =
      progress_as_bar_ ? Clock::duration(kBarRedrawInterval) : Clock::duration(kPlainLineInterval);
  if (now - last_drawn_ < interval) return;
  last_drawn_ = now;
  DrawProgress(received, total, now);
}

void ConsoleStatus::DrawProgress(long long received, long long total, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - transfer_start_).count();
  const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0.0;
  const std::string amount =
      Megabytes(received) + (total >= 0 ? " / " + Megabytes(total) : std::string(" / ?"));
  const std::string speed = Megabytes(static_cast<long long>(rate)) + "/s";
  if (!progress_as_bar_) {
    std::fprintf(err_, "  %s  %s\n", amount.c_str(), speed.c_str());
    std::fflush(err_);
    return;
  }
  std::string bar(kBarWidth, ' ');
  if (total > 0) {
    const long long filled = std::min<long long>(kBarWidth, received * kBarWidth / total);
    bar.replace(0, static_cast<std::size_t>(filled), static_cast<std::size_t>(filled), '#');
  }
  std::fprintf(err_, "\r  [%s] %s  %s   ", bar.c_str(), amount.c_str(), speed.c_str());
  std::fflush(err_);
  progress_line_open_ = true;
}

void ConsoleStatus::BreakProgressLine() {
  if (!progress_line_open_) return;
  std::fputc('\n', err_);
  std::fflush(err_);
  progress_line_open_ = false;
}

ConsoleHost::ConsoleHost(Settings& settings, std::FILE* out, std::FILE* err, bool progress_as_bar)
    : settings_(settings), err_(err), status_(out, err, progress_as_bar) {}

void ConsoleHost::ShowMessage(const std::string& text) {
  status_.BreakProgressLine();
  std::fprintf(err_, "Tollgate: %s\n", EscapeControlCharacters(text).c_str());
  std::fflush(err_);
}

void ConsoleHost::DoEvents() {
  if (interrupt_pending == 0) return;
  interrupt_pending = 0;
  status_.BreakProgressLine();
  // Ctrl+C is the Cancel button: it works only while the button would be enabled, and once.
  if (!status_.CancelEnabled()) {
    // Installed files are replaced atomically, so stopping hard is safe if the user insists.
    std::signal(SIGINT, SIG_DFL);
    std::fprintf(err_,
                 "Cancel is not possible in this phase of the update; press Ctrl+C again to "
                 "stop at once\n");
    std::fflush(err_);
    return;
  }
  settings_.UpdateCancelled = true;
  status_.SetCancelEnabled(false);
  std::fprintf(err_, "Cancelling...\n");
  std::fflush(err_);
}

void ConsoleHost::EndProgram() {
  std::fflush(nullptr);
  std::_Exit(1);
}

}  // namespace halyard::cli

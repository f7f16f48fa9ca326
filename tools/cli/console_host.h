// The console in place of the windows: status lines on stdout, message boxes and a progress bar
// on stderr, and Ctrl+C as the Cancel button.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "core/host.h"
#include "startup/settings.h"

namespace halyard::cli {

/// Installs the Ctrl+C handler: the first interrupt is remembered and turned into a Cancel
/// click at the next DoEvents.
void InstallInterruptHandler();

class ConsoleStatus : public StatusWindow {
 public:
  /// progress_as_bar: redraw one line in place (a terminal); otherwise print a plain line
  /// now and then.
  ConsoleStatus(std::FILE* out, std::FILE* err, bool progress_as_bar);

  void Show() override {}
  void Unload() override {}
  void WriteLine(const std::string& line) override;
  void TurnOnData() override;
  void TurnOffData() override;
  void FlashData() override {}
  void SetCancelEnabled(bool enabled) override { cancel_enabled_ = enabled; }
  void ReportTransfer(long long received, long long total) override;

  bool CancelEnabled() const { return cancel_enabled_; }
  /// Ends a progress line in place before other text goes to the terminal.
  void BreakProgressLine();

 private:
  using Clock = std::chrono::steady_clock;
  void DrawProgress(long long received, long long total, Clock::time_point now);

  std::FILE* out_;
  std::FILE* err_;
  bool progress_as_bar_;
  bool cancel_enabled_ = false;
  bool progress_line_open_ = false;
  Clock::time_point transfer_start_;
  Clock::time_point last_drawn_;
  long long received_ = 0;
  long long total_ = -1;
};

class ConsoleHost : public Host {
 public:
  ConsoleHost(Settings& settings, std::FILE* out, std::FILE* err, bool progress_as_bar);

  void ShowMessage(const std::string& text) override;
  StatusWindow& Status() override { return status_; }
  void DoEvents() override;
  [[noreturn]] void EndProgram() override;

 private:
  Settings& settings_;
  std::FILE* err_;
  ConsoleStatus status_;
};

}  // namespace halyard::cli

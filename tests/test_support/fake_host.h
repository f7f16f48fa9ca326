// A host that records what the engine shows, for assertions in tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/host.h"

namespace halyard::testing {

/// Thrown by RecordingHost::EndProgram so that a test can see the program would have ended.
struct ProgramEnded {};

class RecordingStatus : public StatusWindow {
 public:
  void Show() override;
  void Unload() override;
  void WriteLine(const std::string& line) override;
  void TurnOnData() override;
  void TurnOffData() override;
  void FlashData() override;
  void SetCancelEnabled(bool enabled) override;
  void ReportTransfer(long long received, long long total) override;

  bool shown = false;
  int show_count = 0;
  int unload_count = 0;
  std::vector<std::string> lines;
  bool data_visible = false;
  bool data_picture_visible = true;
  int flash_count = 0;
  bool cancel_enabled = false;
  /// Every change of the Cancel button, in order.
  std::vector<bool> cancel_changes;
  long long last_received = 0;
  long long last_total = -1;
  /// Runs after each line is recorded, to look at the run at that moment.
  std::function<void(const std::string&)> on_write_line;
};

class RecordingHost : public Host {
 public:
  void ShowMessage(const std::string& text) override;
  StatusWindow& Status() override { return status; }
  void DoEvents() override;
  [[noreturn]] void EndProgram() override;

  RecordingStatus status;
  std::vector<std::string> messages;
  int do_events_count = 0;
  bool program_ended = false;
  /// Runs inside DoEvents, as a click handler would (for example to press Cancel).
  std::function<void()> on_do_events;
};

}  // namespace halyard::testing

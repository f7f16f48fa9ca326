// The recording host of the tests.
#include "test_support/fake_host.h"

namespace halyard::testing {

void RecordingStatus::Show() {
  shown = true;
  ++show_count;
}

void RecordingStatus::Unload() {
  shown = false;
  ++unload_count;
}

void RecordingStatus::WriteLine(const std::string& line) {
  lines.push_back(line);
  if (on_write_line) on_write_line(line);
}
void RecordingStatus::TurnOnData() {
  data_visible = true;
}
void RecordingStatus::TurnOffData() {
  data_visible = false;
}

void RecordingStatus::FlashData() {
  data_picture_visible = !data_picture_visible;
  ++flash_count;
}

void RecordingStatus::SetCancelEnabled(bool enabled) {
  cancel_enabled = enabled;
  cancel_changes.push_back(enabled);
}

void RecordingStatus::ReportTransfer(long long received, long long total) {
  last_received = received;
  last_total = total;
}

void RecordingHost::ShowMessage(const std::string& text) {
  messages.push_back(text);
}

void RecordingHost::DoEvents() {
  ++do_events_count;
  if (on_do_events) on_do_events();
}

void RecordingHost::EndProgram() {
  program_ended = true;
  throw ProgramEnded{};
}

}  // namespace halyard::testing

// WindowHost: the engine's host under wxWidgets.
#include "ui/window_host.h"

#include <wx/app.h>
#include <wx/msgdlg.h>

#include <cstdio>
#include <cstdlib>

namespace halyard {

WindowHost::WindowHost(Settings& settings, wxWindow* owner)
    : owner_(owner), status_(settings, owner) {}

void WindowHost::ShowMessage(const std::string& text) {
  // In front of the status window while it is up, so the message is not hidden behind it.
  wxWindow* parent = status_.IsLoaded() ? status_.Window() : owner_;
  ShowTollgateMessage(parent, text);
}

void WindowHost::DoEvents() {
  // Yield refuses to nest (onlyIfNeeded), so a DoEvents reached from inside event handling
  // that a DoEvents started returns at once instead of recursing.
  if (wxTheApp != nullptr) wxTheApp->Yield(true);
}

void WindowHost::EndProgram() {
  std::fflush(nullptr);
  std::_Exit(1);
}

void ShowTollgateMessage(wxWindow* parent, const std::string& text) {
  wxMessageDialog dialog(parent, wxString::FromUTF8(text), "Tollgate", wxOK);
  dialog.ShowModal();
}

}  // namespace halyard

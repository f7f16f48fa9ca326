// The few things the browser control needs from the web engine below wxWebView: the loaded
// document's bytes as they arrived, and the help key that the engine's widget keeps for itself.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace halyard {

/// The bytes of the main resource of the engine's view (wxWebView::GetNativeBackend()), as the
/// server sent them; std::nullopt when no document is loaded or the engine does not offer them.
/// Lets pending events run while the engine hands the data over.
std::optional<std::string> MainResourceBytes(void* native_view);

/// Gives the engine's view itself the keyboard focus (wxWebView focuses its scrolled container,
/// which passes no keys on to the page).
void FocusView(void* native_view);

/// Calls on_help_key when Ctrl+F1 reaches the engine's view (GTK binds it to its own help
/// tooltip, so the key never gets to the window's handlers). The connection ends with
/// DisconnectHelpKey or with the view.
class HelpKeyConnection {
 public:
  HelpKeyConnection(void* native_view, std::function<void()> on_help_key);
  ~HelpKeyConnection();
  HelpKeyConnection(const HelpKeyConnection&) = delete;
  HelpKeyConnection& operator=(const HelpKeyConnection&) = delete;

  void Call() const {
    if (on_help_key_) on_help_key_();
  }

 private:
  void* native_view_;
  unsigned long handler_id_ = 0;
  std::function<void()> on_help_key_;
};

}  // namespace halyard

// The few things the browser control needs from the web engine below wxWebView: the loaded
// document's bytes as they arrived, the help key that the engine's widget keeps for itself, a
// channel for messages from page scripts, and trust in a private server's authority.
#pragma once

#include <functional>
#include <optional>
#include <set>
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

/// Calls on_message with the text of every message a page script posts to
/// window.webkit.messageHandlers.<name>, from the event loop. Registered with the engine
/// directly: wxWebView's AddScriptMessageHandler also runs a script and waits for its result,
/// which holds the window back until the engine's web process has started and loaded a blank
/// page (most of a second at start-up). The channel ends with the object.
class ScriptMessageConnection {
 public:
  ScriptMessageConnection(void* native_view, std::string name,
                          std::function<void(const std::string&)> on_message);
  ~ScriptMessageConnection();
  ScriptMessageConnection(const ScriptMessageConnection&) = delete;
  ScriptMessageConnection& operator=(const ScriptMessageConnection&) = delete;

  void Call(const std::string& message) const {
    if (on_message_) on_message_(message);
  }

 private:
  void* content_manager_ = nullptr;
  std::string name_;
  unsigned long handler_id_ = 0;
  std::function<void(const std::string&)> on_message_;
};

/// Has the engine's view accept a server whose certificate chains to an authority in a PEM
/// file, besides those the system trusts (which the engine checks by itself). The name, dates
/// and chain are checked as strictly as for the system's authorities. Nothing when the file
/// cannot be read; the acceptance ends with the object.
class ExtraAuthorities {
 public:
  ExtraAuthorities(void* native_view, const std::string& pem_file);
  ~ExtraAuthorities();
  ExtraAuthorities(const ExtraAuthorities&) = delete;
  ExtraAuthorities& operator=(const ExtraAuthorities&) = delete;

  /// A load of uri failed for certificate: true when the file's authorities vouch for it, the
  /// certificate is then accepted for its host and uri is loaded again.
  bool Accept(const char* uri, void* certificate);

 private:
  void* native_view_ = nullptr;
  void* database_ = nullptr;  // the file's authorities
  unsigned long handler_id_ = 0;
  std::set<std::string> accepted_hosts_;  // a host fails for good once its acceptance did not help
};

}  // namespace halyard

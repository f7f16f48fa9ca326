// WebKitGTK underneath wxWebView. The engine's and the toolkit's functions are looked up in the
// running process (wxWebView has loaded both already), so no engine headers are needed to build.
#include <dlfcn.h>
#include <gio/gio.h>

#include "ui/browser_native.h"

namespace halyard {
namespace {

using GetMainResource = void* (*)(void* view);
using ReadyCallback = void (*)(GObject* source, void* result, gpointer user_data);
using GetData = void (*)(void* resource, void* cancellable, ReadyCallback callback,
                         gpointer user_data);
using GetDataFinish = guchar* (*)(void* resource, void* result, gsize* length, GError** error);
using GetContentManager = void* (*)(void* view);
using RegisterHandler = gboolean (*)(void* content_manager, const char* name);
using UnregisterHandler = void (*)(void* content_manager, const char* name);
using GetScriptValue = void* (*)(void* script_result);
using ValueToString = char* (*)(void* value);

// GTK's help types: the tooltip help is what its key bindings give Ctrl+F1.
constexpr int kHelpTooltip = 0;

template <typename Function>
Function Lookup(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

extern "C" void OnDataReady(GObject*, void* result, gpointer user_data) {
  g_object_ref(result);
  *static_cast<void**>(user_data) = result;
}

extern "C" gboolean OnShowHelp(gpointer, gint help_type, gpointer user_data) {
  if (help_type != kHelpTooltip) return FALSE;
  static_cast<const HelpKeyConnection*>(user_data)->Call();
  return TRUE;
}

extern "C" gboolean OnTlsErrors(gpointer, gchar* failing_uri, GTlsCertificate* certificate,
                                GTlsCertificateFlags, gpointer user_data) {
  return static_cast<ExtraAuthorities*>(user_data)->Accept(failing_uri, certificate) ? TRUE : FALSE;
}

extern "C" void OnScriptMessage(gpointer, void* script_result, gpointer user_data) {
  static const auto get_value = Lookup<GetScriptValue>("webkit_javascript_result_get_js_value");
  static const auto to_string = Lookup<ValueToString>("jsc_value_to_string");
  if (script_result == nullptr || !get_value || !to_string) return;
  void* value = get_value(script_result);
  if (value == nullptr) return;
  char* text = to_string(value);
  if (text == nullptr) return;
  const std::string message(text);
  g_free(text);
  static_cast<const ScriptMessageConnection*>(user_data)->Call(message);
}

}  // namespace

std::optional<std::string> MainResourceBytes(void* native_view) {
  static const auto get_main_resource =
      Lookup<GetMainResource>("webkit_web_view_get_main_resource");
  static const auto get_data = Lookup<GetData>("webkit_web_resource_get_data");
  static const auto get_data_finish = Lookup<GetDataFinish>("webkit_web_resource_get_data_finish");
  if (native_view == nullptr || !get_main_resource || !get_data || !get_data_finish) {
    return std::nullopt;
  }
  void* resource = get_main_resource(native_view);
  if (resource == nullptr) return std::nullopt;
  // The resource may be replaced by the next page while we wait; keep this one alive.
  g_object_ref(resource);
  void* result = nullptr;
  get_data(resource, nullptr, OnDataReady, &result);
  while (result == nullptr) g_main_context_iteration(nullptr, TRUE);
  gsize length = 0;
  GError* error = nullptr;
  guchar* data = get_data_finish(resource, result, &length, &error);
  g_object_unref(result);
  g_object_unref(resource);
  if (error != nullptr) g_error_free(error);
  if (data == nullptr) return std::nullopt;
  std::string bytes(reinterpret_cast<const char*>(data), length);
  g_free(data);
  return bytes;
}

void FocusView(void* native_view) {
  static const auto grab_focus = Lookup<void (*)(void*)>("gtk_widget_grab_focus");
  if (native_view != nullptr && grab_focus) grab_focus(native_view);
}

HelpKeyConnection::HelpKeyConnection(void* native_view, std::function<void()> on_help_key)
    : native_view_(native_view), on_help_key_(std::move(on_help_key)) {
  if (native_view_ == nullptr) return;
  handler_id_ = g_signal_connect(native_view_, "show-help", G_CALLBACK(OnShowHelp), this);
}

HelpKeyConnection::~HelpKeyConnection() {
  // The owner is destroyed before the view it is connected to.
  if (handler_id_ != 0) g_signal_handler_disconnect(native_view_, handler_id_);
}

ScriptMessageConnection::ScriptMessageConnection(void* native_view, std::string name,
                                                 std::function<void(const std::string&)> on_message)
    : name_(std::move(name)), on_message_(std::move(on_message)) {
  static const auto get_content_manager =
      Lookup<GetContentManager>("webkit_web_view_get_user_content_manager");
  static const auto register_handler =
      Lookup<RegisterHandler>("webkit_user_content_manager_register_script_message_handler");
  if (native_view == nullptr || !get_content_manager || !register_handler) return;
  void* content_manager = get_content_manager(native_view);
  if (content_manager == nullptr) return;
  const std::string signal = "script-message-received::" + name_;
  const unsigned long handler_id =
      g_signal_connect(content_manager, signal.c_str(), G_CALLBACK(OnScriptMessage), this);
  if (!register_handler(content_manager, name_.c_str())) {
    g_signal_handler_disconnect(content_manager, handler_id);
    return;
  }
  content_manager_ = g_object_ref(content_manager);
  handler_id_ = handler_id;
}

ScriptMessageConnection::~ScriptMessageConnection() {
  if (content_manager_ == nullptr) return;
  static const auto unregister_handler =
      Lookup<UnregisterHandler>("webkit_user_content_manager_unregister_script_message_handler");
  g_signal_handler_disconnect(content_manager_, handler_id_);
  if (unregister_handler) unregister_handler(content_manager_, name_.c_str());
  g_object_unref(content_manager_);
}

ExtraAuthorities::ExtraAuthorities(void* native_view, const std::string& pem_file)
    : native_view_(native_view) {
  if (native_view_ == nullptr || pem_file.empty()) return;
  GError* error = nullptr;
  GTlsDatabase* database = g_tls_file_database_new(pem_file.c_str(), &error);
  if (database == nullptr) {
    g_clear_error(&error);
    return;
  }
  database_ = database;
  handler_id_ =
      g_signal_connect(native_view_, "load-failed-with-tls-errors", G_CALLBACK(OnTlsErrors), this);
}

ExtraAuthorities::~ExtraAuthorities() {
  if (handler_id_ != 0) g_signal_handler_disconnect(native_view_, handler_id_);
  if (database_ != nullptr) g_object_unref(database_);
}

bool ExtraAuthorities::Accept(const char* uri, void* certificate) {
  static const auto get_context = Lookup<void* (*)(void*)>("webkit_web_view_get_context");
  static const auto allow_for_host = Lookup<void (*)(void*, GTlsCertificate*, const char*)>(
      "webkit_web_context_allow_tls_certificate_for_host");
  static const auto load_uri = Lookup<void (*)(void*, const char*)>("webkit_web_view_load_uri");
  if (uri == nullptr || certificate == nullptr || !get_context || !allow_for_host || !load_uri) {
    return false;
  }
  GError* error = nullptr;
  GSocketConnectable* identity = g_network_address_parse_uri(uri, 443, &error);
  if (identity == nullptr) {
    g_clear_error(&error);
    return false;
  }
  const std::string host = g_network_address_get_hostname(G_NETWORK_ADDRESS(identity));
  const GTlsCertificateFlags problems =
      g_tls_database_verify_chain(G_TLS_DATABASE(database_), G_TLS_CERTIFICATE(certificate),
                                  G_TLS_DATABASE_PURPOSE_AUTHENTICATE_SERVER, identity, nullptr,
                                  G_TLS_DATABASE_VERIFY_NONE, nullptr, &error);
  g_object_unref(identity);
  const bool vouched = error == nullptr && problems == 0;
  g_clear_error(&error);
  if (!vouched || !accepted_hosts_.insert(host).second) return false;
  allow_for_host(get_context(native_view_), G_TLS_CERTIFICATE(certificate), host.c_str());
  load_uri(native_view_, uri);
  return true;
}

}  // namespace halyard

// WebKitGTK underneath wxWebView. The engine's and the toolkit's functions are looked up in the
// running process (wxWebView has loaded both already), so no engine headers are needed to build.
#include <dlfcn.h>
#include <glib-object.h>

#include "ui/browser_native.h"

namespace halyard {
namespace {

using GetMainResource = void* (*)(void* view);
using ReadyCallback = void (*)(GObject* source, void* result, gpointer user_data);
using GetData = void (*)(void* resource, void* cancellable, ReadyCallback callback,
                         gpointer user_data);
using GetDataFinish = guchar* (*)(void* resource, void* result, gsize* length, GError** error);

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

}  // namespace halyard

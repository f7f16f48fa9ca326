// Owning wrappers for libcurl handles, so that every exit path (errors and the user's cancel
// included) releases them.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace halyard::curl {

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

/// Runs curl_global_init once per process; safe to call from any thread. False on failure.
bool GlobalInit();

/// An easy handle attached to a multi handle for the length of one transfer. Detaching a
/// transfer that has not finished aborts it; a finished one leaves its connection in the
/// multi handle's cache for the next transfer.
class Attachment {
 public:
  Attachment(CURLM* multi, CURL* easy) noexcept
      : multi_(multi), easy_(easy), code_(curl_multi_add_handle(multi, easy)) {}
  ~Attachment() {
    if (code_ == CURLM_OK) curl_multi_remove_handle(multi_, easy_);
  }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

  CURLMcode Code() const noexcept { return code_; }

 private:
  CURLM* multi_;
  CURL* easy_;
  CURLMcode code_;
};

}  // namespace halyard::curl

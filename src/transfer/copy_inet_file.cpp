// Web file download over libcurl's multi interface: the window keeps running its events while a
// transfer waits, connections are reused within a session, and a failed transfer never leaves
// a partial or error-page file behind as if it were the requested one.
#include "transfer/copy_inet_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "transfer/curl_handles.h"

namespace halyard {
namespace curl {

bool GlobalInit() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return initialised;
}

}  // namespace curl

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 4096;  // the unit of the data indicator's blinking
// Measured against larger sizes: buffers that stay in the processor's cache copy fastest
// when other programs share the machine.
constexpr long kReceiveBuffer = 64 * 1024;
constexpr std::size_t kWriteBuffer = 128 * 1024;
constexpr int kPollMilliseconds = 40;  // the longest the window goes without its events
constexpr long kMaxRedirects = 10;

std::string Source() {
  return ExecutableName() + ".CopyURLToFile";
}

AppError DownloadError(const std::string& url, const std::string& cause) {
  return AppError(error_number::kCannotRetrieveFileList, Source(),
                  "Cannot download " + url + ": " + cause);
}

AppError FileError(const std::string& what, const std::string& path, int error) {
  return AppError(
      error_number::kPathFileAccess, Source(),
      "Path/File access error: cannot " + what + " " + path + " (" + std::strerror(error) + ")");
}

/// Local paths of the change list reach us as they were written, with "\" separators and
/// blanks; the server expects "/" and escaped bytes.
std::string NormalizeUrl(const std::string& url) {
  const auto scheme_end = url.find("://");
  const auto path_start =
      scheme_end == std::string::npos ? 0 : url.find_first_of("/\\?#", scheme_end + 3);
  if (path_start == std::string::npos) return url;
  std::string result = url.substr(0, path_start);
  bool in_path = true;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = path_start; i < url.size(); ++i) {
    const auto byte = static_cast<unsigned char>(url[i]);
    if (byte == '?' || byte == '#') in_path = false;
    if (byte == '\\' && in_path) {
      result += '/';
    } else if (byte <= 0x20 || byte >= 0x7F || std::strchr("\"<>\\^`{|}", byte) != nullptr) {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result;
}

std::string StatusText(long code, const std::string& reason) {
  std::string text = "HTTP " + std::to_string(code);
  if (!reason.empty()) return text + " " + reason;
  // HTTP/2 answers carry no reason phrase.
  switch (code) {
    case 400:
      return text + " Bad Request";
    case 401:
      return text + " Unauthorized";
    case 403:
      return text + " Forbidden";
    case 404:
      return text + " Not Found";
    case 500:
      return text + " Internal Server Error";
    case 502:
      return text + " Bad Gateway";
    case 503:
      return text + " Service Unavailable";
    default:
      return text;
  }
}

std::string DurationText(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  if (count % 1000 != 0) return std::to_string(count) + " milliseconds";
  const auto seconds = count / 1000;
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

/// Hides the data indicator when a call ends, however it ends.
class DataIndicator {
 public:
  explicit DataIndicator(StatusWindow& status) : status_(status) {}
  ~DataIndicator() {
    try {
      status_.TurnOffData();
    } catch (...) {
      // A window that fails to hide its indicator must not replace the transfer's own error.
    }
  }
  DataIndicator(const DataIndicator&) = delete;
  DataIndicator& operator=(const DataIndicator&) = delete;

  void TurnOn() { status_.TurnOnData(); }

 private:
  StatusWindow& status_;
};

/// The state of one transfer, shared with the curl callbacks.
class Transfer {
 public:
  /// write_buffer (kWriteBuffer bytes) belongs to the session, so that a run of many small
  /// files does not allocate and fault in fresh memory for each one.
  Transfer(CURL* easy, std::string url, std::string local_file, char* write_buffer)
      : easy_(easy),
        url_(std::move(url)),
        local_file_(std::move(local_file)),
        write_buffer_(write_buffer) {}

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Transfer*>(self)->Header(std::string_view(data, size * count));
  }
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Transfer*>(self)->Body(data, size * count);
  }

  /// Called when curl reports the transfer done; raises whatever went wrong.
  void Finish(CURLcode result, const char* curl_message) {
    if (failure_) throw *failure_;
    if (result != CURLE_OK) throw DownloadError(url_, Cause(result, curl_message));
    // An empty body never reached OnBody, so the file is made here.
    if (!opened_ && !Open()) throw *failure_;
    std::FILE* file = file_.release();
    if (std::fclose(file) != 0) {
      const int error = errno;
      Discard();
      throw FileError("write", local_file_, error);
    }
  }

  /// Removes the file this transfer created, after a failure.
  void Discard() noexcept {
    file_.reset();
    if (!created_) return;
    std::error_code ignored;
    std::filesystem::remove(local_file_, ignored);
    created_ = false;
  }

  /// Takes the clock start for the stall limit from now.
  void MarkActivity() { last_activity_ = Clock::now(); }
  Clock::time_point LastActivity() const { return last_activity_; }
  long long Received() const { return received_; }
  long long Total() const { return total_; }
  const std::string& Url() const { return url_; }

 private:
  std::size_t Header(std::string_view line) {
    MarkActivity();
    // Every response of a redirect chain starts with its status line; the last one counts.
    if (line.rfind("HTTP/", 0) != 0) return line.size();
    reason_.clear();
    const auto code_start = line.find(' ');
    if (code_start == std::string_view::npos) return line.size();
    auto reason_start = line.find(' ', code_start + 1);
    if (reason_start == std::string_view::npos) return line.size();
    std::string_view reason = line.substr(reason_start + 1);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) {
      reason.remove_suffix(1);
    }
    reason_ = std::string(reason);
    return line.size();
  }

  std::size_t Body(const char* data, std::size_t size) {
    MarkActivity();
    if (!opened_ && !Open()) return 0;  // a size other than `size` makes curl stop
    if (std::fwrite(data, 1, size, file_.get()) != size) {
      failure_ = FileError("write", local_file_, errno);
      Discard();
      return 0;
    }
    received_ += static_cast<long long>(size);
    return size;
  }

  /// The final answer has begun: replace the local file, unless the answer is an error.
  bool Open() {
    opened_ = true;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    // The old file goes first; a failure shows when the file is created. A folder of that
    // name is left alone, as deleting a file never removes a folder.
    std::error_code ignored;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(local_file_, ignored))) {
      std::filesystem::remove(local_file_, ignored);
    }
    if (code < 200 || code > 299) {
      failure_ = DownloadError(url_, StatusText(code, reason_));
      return false;
    }
    file_.reset(std::fopen(local_file_.c_str(), "wb"));
    if (!file_) {
      failure_ = FileError("create", local_file_, errno);
      return false;
    }
    created_ = true;
    // curl hands over at most 16 KB per call; a larger buffer saves most write calls. The C
    // library picks its own size unless it is given the memory.
    std::setvbuf(file_.get(), write_buffer_, _IOFBF, kWriteBuffer);
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      total_ = length;
    }
    return true;
  }

  static std::string Cause(CURLcode result, const char* curl_message) {
    switch (result) {
      case CURLE_PARTIAL_FILE:
        return "connection closed before the whole body arrived";
      case CURLE_RECV_ERROR:
        return "connection broken while receiving (" + std::string(curl_message) + ")";
      default:
        return curl_message;
    }
  }

  CURL* easy_;
  std::string url_;
  std::string local_file_;
  char* write_buffer_;  // declared first: outlives the file that uses it
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool opened_ = false;
  bool created_ = false;
  std::string reason_;
  long long received_ = 0;
  long long total_ = -1;
  std::optional<AppError> failure_;
  Clock::time_point last_activity_ = Clock::now();
};

}  // namespace

struct InternetSession::Impl {
  Impl(Host& host_in, const Settings& settings_in) : host(host_in), settings(settings_in) {}

  /// Creates the handles on first use, so a failure reaches the caller of a transfer.
  void EnsureHandles() {
    if (easy) return;
    if (!curl::GlobalInit()) Fail();
    curl::MultiHandle new_multi(curl_multi_init());
    curl::EasyHandle new_easy(curl_easy_init());
    if (!new_multi || !new_easy || !Configure(new_easy.get())) Fail();
    multi = std::move(new_multi);
    easy = std::move(new_easy);
  }

  [[noreturn]] static void Fail() {
    throw AppError(error_number::kCannotRetrieveFileList, Source(),
                   "An error occurred calling InternetOpen function");
  }

  bool Configure(CURL* handle) {
    const std::string agent = ExecutableName();
    // No proxy option is set: libcurl then takes the proxy configured for the system in the
    // environment (http_proxy, https_proxy, no_proxy).
    return curl_easy_setopt(handle, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBuffer) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK;
  }

  void Run(Transfer& transfer);
  void ShowProgress(const Transfer& transfer);

  Host& host;
  const Settings& settings;
  std::chrono::milliseconds stall_timeout{std::chrono::seconds(60)};
  std::string certificate_authorities;
  curl::MultiHandle multi;
  curl::EasyHandle easy;
  std::unique_ptr<char[]> write_buffer;  // lent to each transfer in turn
  char error_text[CURL_ERROR_SIZE] = {};
  long long flashed_chunks = 0;
  long long reported = -1;
};

void InternetSession::Impl::ShowProgress(const Transfer& transfer) {
  StatusWindow& status = host.Status();
  // One blink per 4096-byte chunk begun, however curl happens to slice the data.
  const long long chunks = (transfer.Received() + kChunk - 1) / kChunk;
  for (; flashed_chunks < chunks; ++flashed_chunks) status.FlashData();
  if (transfer.Received() != reported) {
    reported = transfer.Received();
    status.ReportTransfer(transfer.Received(), transfer.Total());
  }
}

void InternetSession::Impl::Run(Transfer& transfer) {
  curl::Attachment attached(multi.get(), easy.get());
  if (attached.Code() != CURLM_OK) {
    throw DownloadError(transfer.Url(), curl_multi_strerror(attached.Code()));
  }
  flashed_chunks = 0;
  reported = -1;
  transfer.MarkActivity();
  while (true) {
    host.DoEvents();
    CheckCancelled(settings);
    // Before any data the indicator blinks once per pass, as it would before every read.
    if (transfer.Received() == 0) host.Status().FlashData();
    int running = 0;
    const CURLMcode code = curl_multi_perform(multi.get(), &running);
    if (code != CURLM_OK) throw DownloadError(transfer.Url(), curl_multi_strerror(code));
    ShowProgress(transfer);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE || message->easy_handle != easy.get()) continue;
      const CURLcode result = message->data.result;
      transfer.Finish(result, error_text[0] != '\0' ? error_text : curl_easy_strerror(result));
      ShowProgress(transfer);
      return;
    }
    if (Clock::now() - transfer.LastActivity() >= stall_timeout) {
      throw DownloadError(transfer.Url(), "no data for " + DurationText(stall_timeout));
    }
    curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr);
  }
}

InternetSession::InternetSession(Host& host, const Settings& settings)
    : impl_(std::make_unique<Impl>(host, settings)) {}

InternetSession::~InternetSession() = default;

void InternetSession::SetStallTimeout(std::chrono::milliseconds timeout) {
  impl_->stall_timeout = timeout;
}

void InternetSession::SetCertificateAuthorities(const std::string& pem_file) {
  impl_->certificate_authorities = pem_file;
}

void InternetSession::CopyURLToFile(const std::string& url, const std::string& local_file) {
  // The indicator ends hidden on every way out, argument errors included.
  DataIndicator indicator(impl_->host.Status());
  if (url.empty() || local_file.empty()) {
    throw AppError(error_number::kInvalidArgument, Source(), "Invalid procedure call or argument");
  }
  impl_->EnsureHandles();
  CURL* easy = impl_->easy.get();
  if (!impl_->write_buffer)
    impl_->write_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
  Transfer transfer(easy, url, local_file, impl_->write_buffer.get());
  const std::string request_url = NormalizeUrl(url);
  impl_->error_text[0] = '\0';
  const std::string& authorities = impl_->certificate_authorities;
  if (curl_easy_setopt(easy, CURLOPT_URL, request_url.c_str()) != CURLE_OK ||
      (!authorities.empty() &&
       curl_easy_setopt(easy, CURLOPT_CAINFO, authorities.c_str()) != CURLE_OK) ||
      curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) != CURLE_OK ||
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) != CURLE_OK) {
    throw AppError(error_number::kCannotRetrieveFileList, Source(),
                   "An error occurred calling InternetOpenUrl function: " + url);
  }
  indicator.TurnOn();
  try {
    impl_->Run(transfer);
  } catch (const AppError& error) {
    // The user's cancel keeps what has arrived; the run removes its staging folder anyway.
    if (error.Number() != error_number::kCancelled) transfer.Discard();
    throw;
  } catch (...) {
    transfer.Discard();
    throw;
  }
}

void CopyURLToFile(const std::string& url, const std::string& local_file, Host& host,
                   const Settings& settings) {
  InternetSession session(host, settings);
  session.CopyURLToFile(url, local_file);
}

}  // namespace halyard

// Web file download over libcurl's multi interface: the window keeps running its events while a
// transfer waits, connections are reused within a session, and a failed transfer never leaves
// a partial, encoded or error-page file behind as if it were the requested one. Every transfer
// is bounded: in time by the stall timeout and the lowest speed, in size by the caller's limit
// and the free space of the disk.
#include "transfer/copy_inet_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "platform/file_system.h"
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
// A transfer slower than this over the whole stall timeout is as good as stalled: a server
// that sends a byte now and then would otherwise hold the update for ever.
constexpr long long kLowestBytesPerSecond = 1024;
// How finely the lowest-speed rule remembers what arrived when.
constexpr auto kSpeedSampleStep = std::chrono::milliseconds(100);

std::string Source() {
  return ExecutableName() + ".CopyURLToFile";
}

AppError DownloadError(const std::string& url, const std::string& cause) {
  return AppError(error_number::kCannotRetrieveFileList, Source(),
                  "Cannot download " + url + ": " + cause);
}

AppError DiskFullError(const std::string& path, const std::string& cause) {
  return AppError(error_number::kDiskFull, Source(), "Disk full writing " + path + ": " + cause);
}

AppError FileError(const std::string& what, const std::string& path, int error) {
  if (error == ENOSPC || error == EDQUOT) return DiskFullError(path, std::strerror(error));
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

std::string_view TrimHeaderValue(std::string_view value) {
  const auto first = value.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = value.find_last_not_of(" \t\r\n");
  return value.substr(first, last - first + 1);
}

/// The number of a Content-Length value, or std::nullopt when it is none.
std::optional<long long> LengthValue(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
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

/// The lowest-speed rule over a sliding window: less than 1 KiB per second over the whole
/// window fails the transfer. Measured here rather than by libcurl, whose speed meter moves in
/// whole seconds and would fail a steady transfer in its first second or two.
class SpeedWatch {
 public:
  explicit SpeedWatch(std::chrono::milliseconds window) : window_(window) {}

  /// Notes what has arrived by now; true when the last window brought less than its share.
  bool TooSlow(Clock::time_point now, long long received) {
    if (samples_.empty() || now - samples_.back().time >= kSpeedSampleStep) {
      samples_.push_back({now, received});
    }
    // Keeps one sample at least a window old: the start of the span that is judged.
    while (samples_.size() > 1 && samples_[1].time <= now - window_) samples_.pop_front();
    const Sample& start = samples_.front();
    if (now - start.time < window_) return false;
    const double seconds = std::chrono::duration<double>(window_).count();
    return static_cast<double>(received - start.received) < kLowestBytesPerSecond * seconds;
  }

 private:
  struct Sample {
    Clock::time_point time;
    long long received;
  };
  std::chrono::milliseconds window_;
  std::deque<Sample> samples_;
};

/// The state of one transfer, shared with the curl callbacks.
class Transfer {
 public:
  /// write_buffer (kWriteBuffer bytes) belongs to the session, so that a run of many small
  /// files does not allocate and fault in fresh memory for each one.
  Transfer(CURL* easy, std::string url, std::string local_file, char* write_buffer,
           std::optional<std::int64_t> max_bytes)
      : easy_(easy),
        url_(std::move(url)),
        local_file_(std::move(local_file)),
        write_buffer_(write_buffer),
        max_bytes_(max_bytes) {}

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
  /// True once the server has begun its answer.
  bool Answering() const { return answering_; }
  long long Received() const { return received_; }
  long long Total() const { return total_; }
  const std::string& Url() const { return url_; }

 private:
  std::size_t Header(std::string_view line) {
    MarkActivity();
    answering_ = true;
    // Every response of a redirect chain starts with its status line; the last one counts.
    if (line.rfind("HTTP/", 0) != 0) return HeaderField(line) ? line.size() : 0;
    reason_.clear();
    content_length_.reset();
    encoded_ = false;
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

  /// Notes the length and encoding of the answer; false (which stops curl) when its lengths
  /// disagree, since either one could be the truth.
  bool HeaderField(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimHeaderValue(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Encoding")) {
      encoded_ = encoded_ || (!value.empty() && !EqualsNoCase(value, "identity"));
      return true;
    }
    if (!EqualsNoCase(name, "Content-Length")) return true;
    // A list of equal values ("5, 5") is one length; anything else is a conflict.
    for (const std::string& item : Split(value, ",")) {
      const std::string_view text = TrimHeaderValue(item);
      const auto length = LengthValue(text);
      if (!length) {
        failure_ = DownloadError(url_, "invalid Content-Length \"" + std::string(value) + "\"");
        return false;
      }
      if (content_length_ && *content_length_ != *length) {
        failure_ = DownloadError(url_, "conflicting Content-Length headers (" +
                                           std::to_string(*content_length_) + " and " +
                                           std::to_string(*length) + ")");
        return false;
      }
      content_length_ = length;
    }
    return true;
  }

  std::size_t Body(const char* data, std::size_t size) {
    MarkActivity();
    if (!opened_ && !Open()) return 0;  // a size other than `size` makes curl stop
    if (max_bytes_ && received_ + static_cast<long long>(size) > *max_bytes_) {
      failure_ = DownloadError(url_, TooLarge());
      Discard();
      return 0;
    }
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
    // Only the whole resource will do: a 206 carries a part of it, other 2xx answers none.
    if (code != 200) {
      failure_ = DownloadError(url_, StatusText(code, reason_));
      return false;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0 && !RoomFor(length)) return false;
    file_.reset(std::fopen(local_file_.c_str(), "wb"));
    if (!file_) {
      failure_ = FileError("create", local_file_, errno);
      return false;
    }
    created_ = true;
    // curl hands over at most 16 KB per call; a larger buffer saves most write calls. The C
    // library picks its own size unless it is given the memory.
    std::setvbuf(file_.get(), write_buffer_, _IOFBF, kWriteBuffer);
    // The announced length of an encoded body is not the length of what is stored.
    if (!encoded_) total_ = length;
    return true;
  }

  /// False, with the failure noted, when the announced body cannot fit on the disk; nothing
  /// has been written then.
  bool RoomFor(curl_off_t length) {
    std::string folder = std::filesystem::path(local_file_).parent_path().string();
    if (folder.empty()) folder = ".";
    std::uint64_t available = 0;
    try {
      available = Folder::Open(folder).FreeSpace();
    } catch (const AppError&) {
      return true;  // creating the file then tells what is wrong with the folder
    }
    if (available >= static_cast<std::uint64_t>(length)) return true;
    failure_ = DiskFullError(local_file_, "the server announces " + std::to_string(length) +
                                              " bytes and only " + std::to_string(available) +
                                              " are free");
    return false;
  }

  std::string TooLarge() const {
    return "the answer is larger than the limit of " + std::to_string(*max_bytes_) + " bytes";
  }

  std::string Cause(CURLcode result, const char* curl_message) const {
    switch (result) {
      case CURLE_PARTIAL_FILE:
        return "connection closed before the whole body arrived";
      case CURLE_RECV_ERROR:
        return "connection broken while receiving (" + std::string(curl_message) + ")";
      case CURLE_FILESIZE_EXCEEDED:
        if (max_bytes_) return TooLarge();
        return curl_message;
      case CURLE_BAD_CONTENT_ENCODING:
        return "the body's encoding cannot be decoded (" + std::string(curl_message) + ")";
      default:
        return curl_message;
    }
  }

  CURL* easy_;
  std::string url_;
  std::string local_file_;
  char* write_buffer_;  // declared first: outlives the file that uses it
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool answering_ = false;
  bool opened_ = false;
  bool created_ = false;
  std::optional<std::int64_t> max_bytes_;
  std::string reason_;
  std::optional<long long> content_length_;  // of the response whose headers arrive
  bool encoded_ = false;
  long long received_ = 0;
  long long total_ = -1;
  std::optional<AppError> failure_;
  Clock::time_point last_activity_ = Clock::now();
};

}  // namespace

struct InternetSession::Impl {
  Impl(Host& host_in, CancelCheck check_cancelled_in)
      : host(host_in), check_cancelled(std::move(check_cancelled_in)) {}

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
           // "" offers every encoding this libcurl decodes (only "identity" without any) and
           // has it decode them; an answer in any other encoding then fails instead of being
           // stored encoded.
           curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK;
  }

  void Run(Transfer& transfer);
  void ShowProgress(const Transfer& transfer);
  void TrustExtraAuthorities(const std::string& url);

  Host& host;
  CancelCheck check_cancelled;
  std::chrono::milliseconds stall_timeout{std::chrono::seconds(60)};
  std::string extra_authorities;   // a PEM file, trusted besides the system's list
  std::string system_authorities;  // the system's list; libcurl's own when empty
  bool authorities_set = false;
  curl::MultiHandle multi;
  curl::EasyHandle easy;
  std::unique_ptr<char[]> write_buffer;  // lent to each transfer in turn
  char error_text[CURL_ERROR_SIZE] = {};
  long long flashed_chunks = 0;
  long long reported = -1;
};

// libcurl's CA file option replaces the system's list; to add to it, both lists go in as one.
void InternetSession::Impl::TrustExtraAuthorities(const std::string& url) {
  if (extra_authorities.empty() || authorities_set) return;
  constexpr std::size_t kMaxBundle = 64 << 20;
  std::string bundle = system_authorities;
  char* default_bundle = nullptr;
  if (bundle.empty() &&
      curl_easy_getinfo(easy.get(), CURLINFO_CAINFO, &default_bundle) == CURLE_OK &&
      default_bundle != nullptr) {
    bundle = default_bundle;
  }
  std::string pem;
  try {
    // A system without a list of its own still trusts the extra certificates.
    if (!bundle.empty()) pem = ReadFileBytesIfPresent(bundle, kMaxBundle).value_or("") + "\n";
    pem += ReadFileBytes(extra_authorities, kMaxBundle);
  } catch (const AppError& error) {
    throw DownloadError(url, "cannot read the trusted certificates: " + error.Description());
  }
  curl_blob blob{pem.data(), pem.size(), CURL_BLOB_COPY};
  if (curl_easy_setopt(easy.get(), CURLOPT_CAINFO_BLOB, &blob) != CURLE_OK) {
    throw DownloadError(url, "cannot use the certificates of " + extra_authorities);
  }
  authorities_set = true;
}

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
  SpeedWatch speed(stall_timeout);
  while (true) {
    host.DoEvents();
    if (check_cancelled) check_cancelled();
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
    const auto now = Clock::now();
    if (now - transfer.LastActivity() >= stall_timeout) {
      throw DownloadError(transfer.Url(), "no data for " + DurationText(stall_timeout));
    }
    // A server that sends a byte now and then would otherwise hold the update for ever. Judged
    // from the first pass after the answer began, so that a server that answers and then
    // sends nothing is told as a stall.
    if (transfer.Answering() && speed.TooSlow(now, transfer.Received())) {
      throw DownloadError(transfer.Url(),
                          "slower than 1 KiB per second for " + DurationText(stall_timeout));
    }
    curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr);
  }
}

InternetSession::InternetSession(Host& host, CancelCheck check_cancelled)
    : impl_(std::make_unique<Impl>(host, std::move(check_cancelled))) {}

InternetSession::~InternetSession() = default;

void InternetSession::SetStallTimeout(std::chrono::milliseconds timeout) {
  impl_->stall_timeout = timeout;
}

void InternetSession::SetCertificateAuthorities(const std::string& pem_file,
                                                const std::string& system_bundle) {
  impl_->extra_authorities = pem_file;
  impl_->system_authorities = system_bundle;
  impl_->authorities_set = false;
}

void InternetSession::CopyURLToFile(const std::string& url, const std::string& local_file,
                                    std::optional<std::int64_t> max_bytes) {
  // The indicator ends hidden on every way out, argument errors included.
  DataIndicator indicator(impl_->host.Status());
  if (url.empty() || local_file.empty()) {
    throw AppError(error_number::kInvalidArgument, Source(), "Invalid procedure call or argument");
  }
  impl_->EnsureHandles();
  CURL* easy = impl_->easy.get();
  if (!impl_->write_buffer)
    impl_->write_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
  Transfer transfer(easy, url, local_file, impl_->write_buffer.get(), max_bytes);
  const std::string request_url = NormalizeUrl(url);
  impl_->error_text[0] = '\0';
  impl_->TrustExtraAuthorities(url);
  if (curl_easy_setopt(easy, CURLOPT_URL, request_url.c_str()) != CURLE_OK ||
      curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) != CURLE_OK ||
      // An announced length above the limit fails before the body; the body is counted too.
      curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{max_bytes.value_or(0)}) !=
          CURLE_OK ||
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
                   CancelCheck check_cancelled) {
  InternetSession session(host, std::move(check_cancelled));
  session.CopyURLToFile(url, local_file);
}

}  // namespace halyard

// Web file download over libcurl's multi interface: the window keeps running its events while a
// transfer waits, connections are reused within a session, and a failed transfer never leaves
// a partial, encoded or error-page file behind as if it were the requested one. Every transfer
// is bounded: in time by the stall timeout and the lowest speed, in size by the caller's limit
// and the free space of the disk. A transfer that breaks off, times out or meets a server that
// is busy is tried again after a pause, asking only for the rest when the server can say that
// the file has not changed.
#include "transfer/copy_inet_file.h"

#include <algorithm>
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
#include "core/wall_clock.h"
#include "platform/file_system.h"
#include "platform/free_space_estimate.h"
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
// Tries after the first one, and the pause before the first of them; each later pause doubles.
constexpr int kDefaultRetries = 3;
constexpr auto kFirstRetryPause = std::chrono::seconds(1);
// The longest a server may ask us to wait before trying again. An update runs while the user
// watches; a server that needs longer is treated as down rather than waited for.
constexpr auto kLongestRetryAfter = std::chrono::seconds(30);

/// Where a broken-off transfer may go on: the bytes already stored and the validator that
/// tells the server which version of the file they belong to.
struct ResumePoint {
  long long offset = 0;
  std::string validator;  // a strong ETag, or else the Last-Modified date
  long long total = -1;   // the whole file's length, when the first answer gave it
};

struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

/// Answers that say the server could not serve us just now, rather than that it never will.
bool IsTransientStatus(long code) {
  switch (code) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

/// The connection broke or went silent; the same request may well work on a new one.
bool IsTransientResult(CURLcode result) {
  switch (result) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

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
    case 408:
      return text + " Request Timeout";
    case 416:
      return text + " Range Not Satisfiable";
    case 429:
      return text + " Too Many Requests";
    case 500:
      return text + " Internal Server Error";
    case 502:
      return text + " Bad Gateway";
    case 503:
      return text + " Service Unavailable";
    case 504:
      return text + " Gateway Timeout";
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

/// Parses "bytes FIRST-LAST/TOTAL"; false for anything else, "*" totals included.
bool ParseContentRange(std::string_view text, long long& first, long long& last, long long& total) {
  constexpr std::string_view kUnit = "bytes ";
  if (text.substr(0, kUnit.size()) != kUnit) return false;
  text.remove_prefix(kUnit.size());
  const auto dash = text.find('-');
  const auto slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return false;
  }
  const auto first_value = LengthValue(text.substr(0, dash));
  const auto last_value = LengthValue(text.substr(dash + 1, slash - dash - 1));
  const auto total_value = LengthValue(text.substr(slash + 1));
  if (!first_value || !last_value || !total_value) return false;
  first = *first_value;
  last = *last_value;
  total = *total_value;
  return true;
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

/// The state of one try of a transfer, shared with the curl callbacks.
class Transfer {
 public:
  /// write_buffer (kWriteBuffer bytes) belongs to the session, so that a run of many small
  /// files does not allocate and fault in fresh memory for each one. With a resume point the
  /// request asks for the rest of the file, and a fitting answer is appended to local_file.
  Transfer(CURL* easy, std::string url, std::string local_file, char* write_buffer,
           FreeSpaceEstimate& free_space, std::optional<std::int64_t> max_bytes,
           std::optional<ResumePoint> resume, StoredBytesObserver* observer)
      : easy_(easy),
        url_(std::move(url)),
        local_file_(std::move(local_file)),
        write_buffer_(write_buffer),
        free_space_(free_space),
        observer_(observer),
        max_bytes_(max_bytes),
        resume_(std::move(resume)) {}

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Transfer*>(self)->Header(std::string_view(data, size * count));
  }
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Transfer*>(self)->Body(data, size * count);
  }

  /// Called when curl reports the transfer done; raises whatever went wrong.
  void Finish(CURLcode result, const char* curl_message) {
    if (failure_) throw *failure_;
    if (result != CURLE_OK) {
      transient_ = IsTransientResult(result);
      throw DownloadError(url_, Cause(result, curl_message));
    }
    // An empty body never reached OnBody, so the file is made here.
    if (!opened_ && !Open()) throw *failure_;
    std::FILE* file = file_.release();
    if (std::fclose(file) != 0) {
      const int error = errno;
      transient_ = false;
      Discard();
      throw FileError("write", local_file_, error);
    }
  }

  /// Removes the file this transfer wrote, or the part an earlier try left, after a failure.
  void Discard() noexcept {
    file_.reset();
    if (!created_ && !resume_) return;
    std::error_code ignored;
    std::filesystem::remove(local_file_, ignored);
    created_ = false;
    resume_.reset();
  }

  /// After a failure that is worth another try: closes the file and tells where the next try
  /// may go on, or removes what was stored when the next try has to start from the beginning.
  std::optional<ResumePoint> Keep() noexcept {
    if (!opened_ || !file_) {
      // Nothing was written this time (a busy server, say): what an earlier try stored stands.
      if (restart_) Discard();
      return restart_ ? std::nullopt : resume_;
    }
    const bool closed = std::fclose(file_.release()) == 0;
    std::optional<ResumePoint> next;
    if (closed && !restart_ && !encoded_ && received_ > 0 && !validator_.empty()) {
      next = ResumePoint{received_, validator_, total_};
    }
    if (!next) Discard();
    return next;
  }

  /// Takes the clock start for the stall limit from now.
  void MarkActivity() { last_activity_ = Clock::now(); }
  Clock::time_point LastActivity() const { return last_activity_; }
  /// True once the server has begun its answer.
  bool Answering() const { return answering_; }
  /// The transfer went silent or too slow; another try may fare better.
  void NoteTimeout() { transient_ = true; }
  /// True when the failure may pass: a broken connection, a timeout or a busy server.
  bool Transient() const { return transient_; }
  /// The Retry-After header of a refused answer, as the server wrote it; empty without one.
  const std::string& RetryAfter() const { return retry_after_; }
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
    etag_.clear();
    last_modified_.clear();
    content_range_.clear();
    retry_after_.clear();
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

  /// Notes the length, encoding, validators and range of the answer; false (which stops curl)
  /// when its lengths disagree, since either one could be the truth.
  bool HeaderField(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimHeaderValue(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Encoding")) {
      encoded_ = encoded_ || (!value.empty() && !EqualsNoCase(value, "identity"));
      return true;
    }
    if (EqualsNoCase(name, "ETag")) etag_ = value;
    if (EqualsNoCase(name, "Last-Modified")) last_modified_ = value;
    if (EqualsNoCase(name, "Content-Range")) content_range_ = value;
    if (EqualsNoCase(name, "Retry-After")) retry_after_ = value;
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
    if (!Observe([&] { observer_->Add(data, size); })) return 0;
    received_ += static_cast<long long>(size);
    return size;
  }

  /// Runs a call on the observer, if there is one; an error it raises fails the transfer
  /// (false) instead of crossing libcurl.
  template <typename Call>
  bool Observe(Call call) {
    if (observer_ == nullptr) return true;
    try {
      call();
      return true;
    } catch (const AppError& error) {
      failure_ = error;
    } catch (const std::exception&) {
      failure_ = FileError("write", local_file_, EIO);
    }
    Discard();
    return false;
  }

  /// Hands the observer the kept part of a file that is to be continued: the first `size`
  /// bytes, read back once.
  bool ObserveKeptPart(long long size) {
    return Observe([&] {
      observer_->Restart();
      const std::unique_ptr<std::FILE, FileCloser> kept(std::fopen(local_file_.c_str(), "rbe"));
      if (!kept) throw FileError("read", local_file_, errno);
      long long left = size;
      while (left > 0) {
        const std::size_t piece = static_cast<std::size_t>(
            std::min<long long>(left, static_cast<long long>(kWriteBuffer)));
        if (std::fread(write_buffer_, 1, piece, kept.get()) != piece) {
          throw FileError("read", local_file_, std::ferror(kept.get()) ? errno : EIO);
        }
        observer_->Add(write_buffer_, piece);
        left -= static_cast<long long>(piece);
      }
    });
  }

  /// The final answer has begun: replace the local file, or append to it when the server
  /// sends the rest that was asked for, unless the answer is an error.
  bool Open() {
    opened_ = true;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    if (resume_ && (code == 206 || code == 416)) return Append(code);
    if (code != 200) {
      failure_ = DownloadError(url_, StatusText(code, reason_));
      transient_ = IsTransientStatus(code);
      // A busy server leaves what earlier tries stored for the next one; any other refusal
      // ends the transfer, and the file goes.
      if (!(transient_ && resume_)) RemoveExisting();
      return false;
    }
    RemoveExisting();
    curl_off_t length = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0 && !RoomFor(length)) return false;
    if (!CreateFile("wb")) return false;
    if (!Observe([&] { observer_->Restart(); })) return false;
    // The announced length of an encoded body is not the length of what is stored.
    if (!encoded_) total_ = length;
    // A weak tag cannot vouch for the bytes of a range; a date then stands in for it.
    validator_ = etag_.empty() || etag_.rfind("W/", 0) == 0 ? last_modified_ : etag_;
    return true;
  }

  /// The answer to a request for the rest: appended only when it is exactly that rest.
  bool Append(long code) {
    long long first = -1;
    long long last = -1;
    long long total = -1;
    const bool fits = code == 206 && !encoded_ &&
                      ParseContentRange(content_range_, first, last, total) &&
                      first == resume_->offset && last == total - 1 &&
                      (resume_->total < 0 || total == resume_->total) &&
                      (!content_length_ || *content_length_ == last - first + 1);
    if (!fits) {
      // Whatever the server sent, it is not the rest of what is stored: start again.
      const std::string sent = code == 206 ? "\"" + content_range_ + "\"" : StatusText(code, "");
      failure_ =
          DownloadError(url_, "asked for the rest from byte " + std::to_string(resume_->offset) +
                                  ", the server sent " + sent);
      transient_ = true;
      restart_ = true;
      return false;
    }
    if (!RoomFor(last - first + 1)) return false;
    std::error_code error;
    std::filesystem::resize_file(local_file_, static_cast<std::uintmax_t>(first), error);
    if (error) {
      failure_ = FileError("write", local_file_, error.value());
      return false;
    }
    if (!ObserveKeptPart(first)) return false;
    if (!CreateFile("ab")) return false;
    received_ = first;
    total_ = total;
    validator_ = resume_->validator;
    return true;
  }

  /// The old file goes first; a failure shows when the file is created. A folder of that name
  /// is left alone, as deleting a file never removes a folder.
  void RemoveExisting() {
    RemoveFileIfPresent(local_file_);
    resume_.reset();
  }

  bool CreateFile(const char* mode) {
    file_.reset(std::fopen(local_file_.c_str(), mode));
    if (!file_) {
      failure_ = FileError("create", local_file_, errno);
      return false;
    }
    created_ = true;
    // curl hands over at most 16 KB per call; a larger buffer saves most write calls. The C
    // library picks its own size unless it is given the memory.
    std::setvbuf(file_.get(), write_buffer_, _IOFBF, kWriteBuffer);
    return true;
  }

  /// False, with the failure noted, when the announced body cannot fit on the disk; nothing
  /// has been written then.
  bool RoomFor(curl_off_t length) {
    std::string folder = std::filesystem::path(local_file_).parent_path().string();
    if (folder.empty()) folder = ".";
    const auto wanted = static_cast<std::uint64_t>(length);
    std::uint64_t available = 0;
    try {
      available =
          free_space_.Available(folder, wanted, [&] { return Folder::Open(folder).FreeSpace(); });
    } catch (const AppError&) {
      return true;  // creating the file then tells what is wrong with the folder
    }
    if (available >= wanted) {
      free_space_.Spend(wanted);
      return true;
    }
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
  FreeSpaceEstimate& free_space_;
  StoredBytesObserver* observer_;  // may be null
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool answering_ = false;
  bool opened_ = false;
  bool created_ = false;
  std::optional<std::int64_t> max_bytes_;
  std::optional<ResumePoint> resume_;  // what earlier tries stored, while it still counts
  std::string reason_;
  std::optional<long long> content_length_;  // of the response whose headers arrive
  bool encoded_ = false;
  std::string etag_;
  std::string last_modified_;
  std::string content_range_;
  std::string retry_after_;
  std::string validator_;  // of the stored bytes, for a later try
  bool transient_ = false;
  bool restart_ = false;  // the next try starts from the beginning
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

  /// Points the handle at the URL for one try; a resumed try asks for the rest of the file
  /// if it is still the version that was begun. if_range keeps the header list alive.
  void Prepare(Transfer& transfer, const std::string& request_url,
               std::optional<std::int64_t> max_bytes, const std::optional<ResumePoint>& resume,
               HeaderList& if_range);
  void Run(Transfer& transfer);
  void ShowProgress(const Transfer& transfer);
  void TrustExtraAuthorities(const std::string& url);
  /// The pause before try number `retry` (1 for the first try again), or nothing when the
  /// server asks for a longer wait than an update gives it; *cause then tells why.
  std::optional<std::chrono::seconds> PauseBefore(int retry, const std::string& retry_after,
                                                  std::string& cause);
  /// Waits, letting the window's events run and honouring Cancel all the while.
  void Pause(std::chrono::milliseconds duration);

  Host& host;
  CancelCheck check_cancelled;
  std::chrono::milliseconds stall_timeout{std::chrono::seconds(60)};
  std::string extra_authorities;   // a PEM file, trusted besides the system's list
  std::string system_authorities;  // the system's list; libcurl's own when empty
  bool authorities_set = false;
  int retries = kDefaultRetries;
  WallClock* clock = &SystemWallClock();
  curl::MultiHandle multi;
  curl::EasyHandle easy;
  std::unique_ptr<char[]> write_buffer;  // lent to each transfer in turn
  FreeSpaceEstimate free_space;          // of the folder the transfers store into
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
  // A resumed try has blinked for what it already holds.
  flashed_chunks = (transfer.Received() + kChunk - 1) / kChunk;
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
      transfer.NoteTimeout();
      throw DownloadError(transfer.Url(), "no data for " + DurationText(stall_timeout));
    }
    // A server that sends a byte now and then would otherwise hold the update for ever. Judged
    // from the first pass after the answer began, so that a server that answers and then
    // sends nothing is told as a stall.
    if (transfer.Answering() && speed.TooSlow(now, transfer.Received())) {
      transfer.NoteTimeout();
      throw DownloadError(transfer.Url(),
                          "slower than 1 KiB per second for " + DurationText(stall_timeout));
    }
    curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr);
  }
}

void InternetSession::Impl::Prepare(Transfer& transfer, const std::string& request_url,
                                    std::optional<std::int64_t> max_bytes,
                                    const std::optional<ResumePoint>& resume,
                                    HeaderList& if_range) {
  CURL* handle = easy.get();
  error_text[0] = '\0';
  std::string range;
  if_range.reset();
  if (resume) {
    range = std::to_string(resume->offset) + "-";
    if_range.reset(curl_slist_append(nullptr, ("If-Range: " + resume->validator).c_str()));
    if (!if_range) Fail();
    // The limit is on the whole file; the answer carries what is still missing.
    if (max_bytes) *max_bytes -= resume->offset;
  }
  TrustExtraAuthorities(transfer.Url());
  if (curl_easy_setopt(handle, CURLOPT_URL, request_url.c_str()) != CURLE_OK ||
      // The handle serves every transfer of the session: a try without a resume point must
      // not inherit the last one's range.
      curl_easy_setopt(handle, CURLOPT_RANGE, resume ? range.c_str() : nullptr) != CURLE_OK ||
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, if_range.get()) != CURLE_OK ||
      curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer) != CURLE_OK ||
      // An announced length above the limit fails before the body; the body is counted too.
      curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{max_bytes.value_or(0)}) !=
          CURLE_OK ||
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer) != CURLE_OK) {
    throw AppError(error_number::kCannotRetrieveFileList, Source(),
                   "An error occurred calling InternetOpenUrl function: " + transfer.Url());
  }
}

std::optional<std::chrono::seconds> InternetSession::Impl::PauseBefore(
    int retry, const std::string& retry_after, std::string& cause) {
  std::chrono::seconds pause = kFirstRetryPause * (1 << (retry - 1));
  if (retry_after.empty()) return pause;
  std::optional<std::chrono::seconds> asked;
  if (const auto seconds = LengthValue(retry_after)) {
    asked = std::chrono::seconds(*seconds);
  } else if (const time_t date = curl_getdate(retry_after.c_str(), nullptr); date != -1) {
    const auto until = std::chrono::system_clock::from_time_t(date) - clock->Now();
    // Rounded up: trying a moment early would only meet the same refusal.
    asked = std::max(std::chrono::ceil<std::chrono::seconds>(until), std::chrono::seconds(0));
  }
  // A value that is neither a number nor a date says nothing; the usual pause stands.
  if (!asked) return pause;
  if (*asked > kLongestRetryAfter) {
    cause = "the server asks to be tried again in " + std::to_string(asked->count()) +
            " seconds, longer than the " + std::to_string(kLongestRetryAfter.count()) +
            " seconds an update waits";
    return std::nullopt;
  }
  return std::max(pause, *asked);
}

void InternetSession::Impl::Pause(std::chrono::milliseconds duration) {
  const auto step = std::chrono::milliseconds(kPollMilliseconds);
  while (true) {
    host.DoEvents();
    if (check_cancelled) check_cancelled();
    if (duration <= std::chrono::milliseconds::zero()) return;
    const auto slice = std::min(duration, step);
    clock->SleepFor(slice);
    duration -= slice;
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

void InternetSession::SetRetries(int count) {
  impl_->retries = std::max(count, 0);
}

void InternetSession::SetClock(WallClock& clock) {
  impl_->clock = &clock;
}

void InternetSession::CopyURLToFile(const std::string& url, const std::string& local_file,
                                    std::optional<std::int64_t> max_bytes,
                                    StoredBytesObserver* observer) {
  // The indicator ends hidden on every way out, argument errors included.
  DataIndicator indicator(impl_->host.Status());
  if (url.empty() || local_file.empty()) {
    throw AppError(error_number::kInvalidArgument, Source(), "Invalid procedure call or argument");
  }
  impl_->EnsureHandles();
  if (!impl_->write_buffer)
    impl_->write_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
  const std::string request_url = NormalizeUrl(url);
  std::optional<ResumePoint> resume;
  for (int retry = 1;; ++retry) {
    Transfer transfer(impl_->easy.get(), url, local_file, impl_->write_buffer.get(),
                      impl_->free_space, max_bytes, resume, observer);
    HeaderList if_range;
    std::chrono::seconds pause_for_next{};
    try {
      impl_->Prepare(transfer, request_url, max_bytes, resume, if_range);
      indicator.TurnOn();
      impl_->Run(transfer);
      return;
    } catch (const AppError& error) {
      // The user's cancel keeps what has arrived; the run removes its staging folder anyway.
      if (error.Number() == error_number::kCancelled) throw;
      std::string refusal;
      std::optional<std::chrono::seconds> pause;
      if (transfer.Transient() && retry <= impl_->retries) {
        pause = impl_->PauseBefore(retry, transfer.RetryAfter(), refusal);
      }
      if (!pause) {
        transfer.Discard();
        if (refusal.empty()) throw;
        throw AppError(error.Number(), error.Source(), error.Description() + "; " + refusal);
      }
      pause_for_next = *pause;
      resume = transfer.Keep();
      // The URL and the reason come from the server: shown, never obeyed by a terminal.
      impl_->host.Status().WriteLine(EscapeControlCharacters(error.Description()) +
                                     "; trying again in " + std::to_string(pause->count()) +
                                     " s (" + std::to_string(retry) + " of " +
                                     std::to_string(impl_->retries) + ")");
    } catch (...) {
      transfer.Discard();
      throw;
    }
    // Outside the handler: a cancel during the pause keeps what has arrived, as above.
    impl_->Pause(pause_for_next);
  }
}

void CopyURLToFile(const std::string& url, const std::string& local_file, Host& host,
                   CancelCheck check_cancelled) {
  InternetSession session(host, std::move(check_cancelled));
  session.CopyURLToFile(url, local_file);
}

}  // namespace halyard

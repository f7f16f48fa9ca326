// The fixture HTTP server: files from a folder with correct lengths and keep-alive, plus the
// per-path faults that the download and update tests need.
#include "fixture_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <zlib.h>

namespace halyard::testing {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kTricklePiece = 1024;
constexpr long long kDefaultTricklePauseMs = 20;
constexpr long long kDefaultDripPauseMs = 1500;

/// The bytes in gzip form, as a server that compresses on the fly sends them.
std::string Gzip(const std::string& bytes) {
  z_stream stream{};
  // 15 window bits plus 16: a gzip header and trailer instead of zlib's.
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, bytes.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string WithLeadingSlash(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  return "/" + path;
}

/// An open file that the body providers read from; closed when the last answer using it ends.
class OpenFile {
 public:
  explicit OpenFile(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  /// The whole file, for the faults that transform it.
  std::string ReadAll(std::size_t size) const {
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::pread(fd_, bytes.data() + done, size - done, static_cast<off_t>(done));
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
  }

  /// Sends bytes [offset, offset + length) to the sink; false when reading or sending fails.
  bool Send(std::size_t offset, std::size_t length, httplib::DataSink& sink) const {
    std::string buffer(std::min(length, kReadChunk), '\0');
    while (length > 0) {
      const std::size_t want = std::min(length, buffer.size());
      const ssize_t got = ::pread(fd_, buffer.data(), want, static_cast<off_t>(offset));
      if (got <= 0) return false;
      if (!sink.write(buffer.data(), static_cast<std::size_t>(got))) return false;
      offset += static_cast<std::size_t>(got);
      length -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
};

// Pages are shown by a browser; everything else is fetched as bytes.
std::string ContentType(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".htm" || extension == ".html" || extension == ".asp") {
    return "text/html";
  }
  return "application/octet-stream";
}

struct FaultSetting {
  FixtureServer::Fault fault;
  long long arg;
  int times;  // answers left that misbehave; negative for all of them
};

/// A strong validator and the modification date of a file, as a real server derives them.
struct Validators {
  std::string etag;
  std::string last_modified;
};

Validators ValidatorsOf(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return {};
  char etag[64];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", static_cast<unsigned long long>(status.st_size),
                static_cast<unsigned long long>(status.st_mtim.tv_sec) * 1000000000ULL +
                    static_cast<unsigned long long>(status.st_mtim.tv_nsec));
  std::tm parts{};
  gmtime_r(&status.st_mtim.tv_sec, &parts);
  char date[64];
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return {etag, date};
}

/// The one span of a "bytes=FIRST-[LAST]" header, clipped to the file; false for anything else.
bool ParseRange(const std::string& header, std::size_t size, std::size_t& first,
                std::size_t& last) {
  unsigned long long from = 0;
  unsigned long long to = 0;
  int consumed = 0;
  if (std::sscanf(header.c_str(), "bytes=%llu-%n", &from, &consumed) != 1 || consumed == 0) {
    return false;
  }
  const char* rest = header.c_str() + consumed;
  if (*rest == '\0') {
    to = size == 0 ? 0 : size - 1;
  } else if (std::sscanf(rest, "%llu%n", &to, &consumed) != 1 || rest[consumed] != '\0') {
    return false;
  }
  first = static_cast<std::size_t>(from);
  last = std::min(static_cast<std::size_t>(to), size == 0 ? 0 : size - 1);
  return true;
}

}  // namespace

struct FixtureServer::Impl {
  std::filesystem::path root;
  std::unique_ptr<httplib::Server> server;  // an SSLServer when serving HTTPS
  bool tls = false;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable released;  // wakes stalled and trickling answers at shutdown
  bool stopping = false;
  std::map<std::string, FaultSetting> faults;
  std::map<std::string, std::string> redirects;
  std::map<std::string, std::string> retry_after;
  std::set<std::string> ignore_range;
  std::vector<RequestRecord> log;
  std::map<std::string, int> connections;  // remote address and port -> connection number

  /// Waits up to pause, or until the server stops; true when it is stopping.
  bool WaitOrStop(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex);
    return released.wait_for(lock, pause, [this] { return stopping; });
  }

  void WaitUntilStopping() {
    std::unique_lock lock(mutex);
    released.wait(lock, [this] { return stopping; });
  }

  /// Adds the request to the log; returns its place there.
  std::size_t Record(const httplib::Request& request) {
    std::lock_guard lock(mutex);
    const std::string peer = request.remote_addr + ":" + std::to_string(request.remote_port);
    auto [it, inserted] = connections.try_emplace(peer, static_cast<int>(connections.size()) + 1);
    const auto question = request.target.find('?');
    const std::string query =
        question == std::string::npos ? std::string() : request.target.substr(question + 1);
    log.push_back({request.path, query, request.method, request.get_header_value("User-Agent"),
                   it->second, request.get_header_value("Range"),
                   request.get_header_value("If-Range")});
    return log.size() - 1;
  }

  /// The file under root for a URL path, or an empty path when it leaves root or is no file.
  std::filesystem::path Resolve(const std::string& url_path) const {
    const auto start = url_path.find_first_not_of('/');
    if (start == std::string::npos) return {};
    const auto relative = std::filesystem::path(url_path.substr(start)).lexically_normal();
    if (relative.empty()) return {};
    for (const auto& part : relative) {
      if (part == "..") return {};
    }
    const std::filesystem::path full = root / relative;
    std::error_code error;
    if (!std::filesystem::is_regular_file(full, error)) return {};
    return full;
  }

  void Handle(const httplib::Request& request, httplib::Response& response);
  void Answer(const httplib::Request& request, httplib::Response& response);
  void ServeFile(const httplib::Request& request, const std::filesystem::path& file,
                 const FaultSetting* fault, bool honour_range, httplib::Response& response);
};

void FixtureServer::Impl::Handle(const httplib::Request& request, httplib::Response& response) {
  const std::size_t entry = Record(request);
  Answer(request, response);
  std::lock_guard lock(mutex);
  log[entry].status = response.status;
}

void FixtureServer::Impl::Answer(const httplib::Request& request, httplib::Response& response) {
  // The server library would cut any answer down to a requested range by itself, even one
  // that ignores Range on purpose; ranges are served here instead. The request is the
  // library's own, passed as const only to the handler.
  const_cast<httplib::Request&>(request).ranges.clear();
  std::optional<FaultSetting> fault;
  std::optional<std::string> redirect;
  std::optional<std::string> wait;
  bool honour_range = true;
  {
    std::lock_guard lock(mutex);
    if (auto it = faults.find(request.path); it != faults.end()) {
      fault = it->second;
      if (it->second.times > 0 && --it->second.times == 0) faults.erase(it);
    }
    if (auto it = redirects.find(request.path); it != redirects.end()) redirect = it->second;
    if (auto it = retry_after.find(request.path); it != retry_after.end()) wait = it->second;
    honour_range = ignore_range.count(request.path) == 0;
  }
  if (redirect) {
    response.set_redirect(*redirect, 302);
    return;
  }
  if (fault && (fault->fault == Fault::ServerError || fault->fault == Fault::Status)) {
    response.status = fault->fault == Fault::ServerError ? 500
                      : fault->arg < 0                   ? 503
                                                         : static_cast<int>(fault->arg);
    if (wait) response.set_header("Retry-After", *wait);
    response.set_content("Error " + std::to_string(response.status), "text/plain");
    return;
  }
  const std::filesystem::path file = Resolve(request.path);
  if (file.empty() || (fault && fault->fault == Fault::NotFound)) {
    response.status = 404;
    response.set_content("<html><body>Not Found</body></html>", "text/html");
    return;
  }
  ServeFile(request, file, fault ? &*fault : nullptr, honour_range, response);
}

void FixtureServer::Impl::ServeFile(const httplib::Request& request,
                                    const std::filesystem::path& file, const FaultSetting* fault,
                                    bool honour_range, httplib::Response& response) {
  auto open_file = std::make_shared<OpenFile>(file);
  std::error_code error;
  const auto size = static_cast<std::size_t>(std::filesystem::file_size(file, error));
  if (!open_file->IsOpen() || error) {
    response.status = 403;
    response.set_content("Forbidden", "text/plain");
    return;
  }
  response.status = 200;
  const std::string type = ContentType(file);
  const Validators validators = ValidatorsOf(file);
  response.set_header("ETag", validators.etag);
  response.set_header("Last-Modified", validators.last_modified);
  response.set_header("Accept-Ranges", "bytes");
  const std::string if_range = request.get_header_value("If-Range");
  std::size_t first = 0;
  std::size_t last = 0;
  // A range of another version of the file (If-Range not matching) gets the whole file.
  if (fault == nullptr && honour_range &&
      ParseRange(request.get_header_value("Range"), size, first, last) &&
      (if_range.empty() || if_range == validators.etag || if_range == validators.last_modified)) {
    if (first >= size) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(size));
      response.set_content("", type);
      return;
    }
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(last) + "/" + std::to_string(size));
    response.set_content_provider(
        last - first + 1, type,
        [open_file, first](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return open_file->Send(first + offset, length, sink);
        });
    return;
  }
  if (size == 0) {
    // A provider of length 0 would be taken for a body of unknown length.
    response.set_content("", type);
    return;
  }
  if (fault == nullptr) {
    response.set_content_provider(
        size, type, [open_file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return open_file->Send(offset, length, sink);
        });
    return;
  }
  switch (fault->fault) {
    case Fault::CutShort:
      // Returning false after half makes the server close the connection with the announced
      // length unmet.
      response.set_content_provider(
          size, type,
          [open_file, half = size / 2](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset < half) open_file->Send(offset, half - offset, sink);
            return false;
          });
      return;
    case Fault::DropMidBody: {
      const std::size_t part =
          fault->arg < 0 ? size / 2 : std::min(size, static_cast<std::size_t>(fault->arg));
      response.set_chunked_content_provider(
          type, [open_file, part](std::size_t offset, httplib::DataSink& sink) {
            if (offset < part) return open_file->Send(offset, part - offset, sink);
            return false;  // closes without the final chunk
          });
      return;
    }
    case Fault::Stall: {
      const std::size_t sent_first =
          fault->arg < 0 ? 0 : std::min(size, static_cast<std::size_t>(fault->arg));
      response.set_content_provider(
          size, type,
          [this, open_file, sent_first](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset < sent_first && !open_file->Send(offset, sent_first - offset, sink)) {
              return false;
            }
            WaitUntilStopping();
            return false;
          });
      return;
    }
    case Fault::Trickle: {
      const auto pause =
          std::chrono::milliseconds(fault->arg < 0 ? kDefaultTricklePauseMs : fault->arg);
      response.set_content_provider(size, type,
                                    [this, open_file, pause](std::size_t offset, std::size_t length,
                                                             httplib::DataSink& sink) {
                                      if (WaitOrStop(pause)) return false;
                                      return open_file->Send(offset,
                                                             std::min(length, kTricklePiece), sink);
                                    });
      return;
    }
    case Fault::Drip: {
      const auto pause =
          std::chrono::milliseconds(fault->arg < 0 ? kDefaultDripPauseMs : fault->arg);
      response.set_content_provider(
          size, type,
          [this, open_file, pause](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (WaitOrStop(pause)) return false;
            return open_file->Send(offset, 1, sink);
          });
      return;
    }
    case Fault::Flood: {
      // Whole copies of the file in pieces of at least 64 KB, so that the flood is fast.
      const std::string file = open_file->ReadAll(size);
      std::string pattern = file;
      while (pattern.size() < 64 * 1024) pattern += file;
      const long long limit = fault->arg;
      response.set_chunked_content_provider(
          type, [this, pattern, limit](std::size_t offset, httplib::DataSink& sink) {
            const bool endless = limit < 0;
            if (!endless && offset >= static_cast<std::size_t>(limit)) {
              sink.done();
              return true;
            }
            {
              std::lock_guard lock(mutex);
              if (stopping) return false;
            }
            std::size_t length = pattern.size();
            if (!endless) length = std::min(length, static_cast<std::size_t>(limit) - offset);
            return sink.write(pattern.data(), length);
          });
      return;
    }
    case Fault::Partial: {
      const std::size_t half = (size + 1) / 2;
      response.status = 206;
      response.set_header("Content-Range",
                          "bytes 0-" + std::to_string(half - 1) + "/" + std::to_string(size));
      response.set_content_provider(
          half, type, [open_file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return open_file->Send(offset, length, sink);
          });
      return;
    }
    case Fault::Gzip:
      response.set_header("Content-Encoding", "gzip");
      response.set_content(Gzip(open_file->ReadAll(size)), type);
      return;
    case Fault::UnknownEncoding:
      response.set_header("Content-Encoding", "x-unknown");
      response.set_content(open_file->ReadAll(size), type);
      return;
    case Fault::ConflictingLength:
      // The server adds the true length after this one; a client that takes the last
      // header it sees reads the whole file.
      response.set_header("Content-Length", std::to_string(size + 10));
      response.set_content_provider(
          size, type, [open_file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return open_file->Send(offset, length, sink);
          });
      return;
    case Fault::NotFound:
    case Fault::ServerError:
    case Fault::Status:
      break;  // answered before the file was opened
  }
}

FixtureServer::FixtureServer(std::filesystem::path root, int port, const Tls* tls)
    : impl_(std::make_unique<Impl>()) {
  impl_->root = std::move(root);
  Impl& impl = *impl_;
  if (tls != nullptr) {
    impl.server =
        std::make_unique<httplib::SSLServer>(tls->certificate_file.c_str(), tls->key_file.c_str());
    if (!impl.server->is_valid()) {
      throw std::runtime_error("fixture server cannot use the certificate " +
                               tls->certificate_file + " with the key " + tls->key_file);
    }
    impl.tls = true;
  } else {
    impl.server = std::make_unique<httplib::Server>();
  }
  // Many small files in a row over one connection is what the benchmarks measure.
  impl.server->set_keep_alive_max_count(1000000);
  impl.server->set_keep_alive_timeout(3);
  // Headers and body go out in separate writes; without TCP_NODELAY (inherited by accepted
  // sockets) the body waits for the client's delayed ACK, 40 ms per answer.
  impl.server->set_socket_options([](socket_t socket) {
    httplib::default_socket_options(socket);
    const int yes = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  const auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
    impl.Handle(request, response);
  };
  impl.server->Get(".*", handler);
  impl.server->Post(".*", handler);
  if (port == 0) {
    impl.port = impl.server->bind_to_any_port("127.0.0.1");
  } else if (impl.server->bind_to_port("127.0.0.1", port)) {
    impl.port = port;
  } else {
    impl.port = -1;
  }
  if (impl.port <= 0) {
    throw std::runtime_error("fixture server cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  impl.listener = std::thread([&impl] { impl.server->listen_after_bind(); });
  // stop() is ignored until the accept loop runs, so do not hand out the server before that.
  while (!impl.server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FixtureServer::~FixtureServer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->released.notify_all();
  impl_->server->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

int FixtureServer::Port() const {
  return impl_->port;
}

std::string FixtureServer::BaseUrl() const {
  return (impl_->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(impl_->port) +
         "/";
}

const std::filesystem::path& FixtureServer::Root() const {
  return impl_->root;
}

void FixtureServer::InjectFault(const std::string& url_path, Fault fault, long long arg,
                                int times) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults[WithLeadingSlash(url_path)] = {fault, arg, times};
}

void FixtureServer::SetRetryAfter(const std::string& url_path, const std::string& value) {
  std::lock_guard lock(impl_->mutex);
  impl_->retry_after[WithLeadingSlash(url_path)] = value;
}

void FixtureServer::IgnoreRange(const std::string& url_path) {
  std::lock_guard lock(impl_->mutex);
  impl_->ignore_range.insert(WithLeadingSlash(url_path));
}

void FixtureServer::ClearFault(const std::string& url_path) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.erase(WithLeadingSlash(url_path));
}

void FixtureServer::AddRedirect(const std::string& url_path, const std::string& location) {
  std::lock_guard lock(impl_->mutex);
  impl_->redirects[WithLeadingSlash(url_path)] = location;
}

int FixtureServer::RequestCount(const std::string& url_path) const {
  const std::string path = WithLeadingSlash(url_path);
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(std::count_if(impl_->log.begin(), impl_->log.end(),
                                        [&](const RequestRecord& r) { return r.path == path; }));
}

std::vector<std::string> FixtureServer::Requests() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> paths;
  paths.reserve(impl_->log.size());
  for (const auto& record : impl_->log) paths.push_back(record.path);
  return paths;
}

std::vector<RequestRecord> FixtureServer::RequestLog() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

int FixtureServer::ConnectionCount() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->connections.size());
}

bool FixtureServer::ParseFault(const std::string& name, Fault& fault) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const std::map<std::string, Fault> kNames = {
      {"404", Fault::NotFound},
      {"notfound", Fault::NotFound},
      {"500", Fault::ServerError},
      {"servererror", Fault::ServerError},
      {"cut", Fault::CutShort},
      {"cutshort", Fault::CutShort},
      {"drop", Fault::DropMidBody},
      {"dropmidbody", Fault::DropMidBody},
      {"stall", Fault::Stall},
      {"trickle", Fault::Trickle},
      {"drip", Fault::Drip},
      {"flood", Fault::Flood},
      {"206", Fault::Partial},
      {"partial", Fault::Partial},
      {"gzip", Fault::Gzip},
      {"unknown-encoding", Fault::UnknownEncoding},
      {"unknownencoding", Fault::UnknownEncoding},
      {"two-lengths", Fault::ConflictingLength},
      {"conflictinglength", Fault::ConflictingLength},
      {"status", Fault::Status},
  };
  auto it = kNames.find(lower);
  if (it == kNames.end()) return false;
  fault = it->second;
  return true;
}

}  // namespace halyard::testing

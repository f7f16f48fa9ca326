// An HTTP server on 127.0.0.1 that serves a folder and misbehaves on chosen paths, for the
// tests, the demo runs and the benchmarks of the transfer and the update run.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace halyard::testing {

/// One request as the server saw it.
struct RequestRecord {
  std::string path;        // URL path without the query, always starting with "/"
  std::string query;       // the raw query string after "?", empty without one
  std::string method;      // "GET" or "POST"
  std::string user_agent;  // empty when the request carried none
  int connection = 0;      // 1 for the first connection accepted, 2 for the next, ...
  std::string range;       // the Range header, empty without one
  std::string if_range;    // the If-Range header, empty without one
  int status = 0;          // the status of the answer
};

class FixtureServer {
 public:
  /// How a path misbehaves. Every fault except NotFound, ServerError and Status answers with
  /// the file's real headers first. A path without a fault serves its file with an ETag and a
  /// Last-Modified date, and honours a Range of one span (with If-Range); faults ignore Range.
  enum class Fault {
    NotFound,     // 404 even when the file exists
    ServerError,  // 500
    CutShort,     // announces the full Content-Length, sends half, then closes cleanly
    DropMidBody,  // chunked answer that stops after part of the body without its last chunk
    Stall,        // sends the headers and `arg` bytes, then nothing until the server stops
    Trickle,      // sends the whole body in 1 KB pieces, `arg` milliseconds apart (default 20)
    Drip,         // sends the whole body one byte at a time, `arg` ms apart (default 1500)
    Flood,        // chunked answer repeating the file for `arg` bytes, without end when negative
    Partial,      // 206 Partial Content with the first half of the file and its Content-Range
    Gzip,         // the file gzip-compressed, with "Content-Encoding: gzip"
    UnknownEncoding,    // the file as it is, with "Content-Encoding: x-unknown"
    ConflictingLength,  // the whole file after two Content-Length headers: size + 10, then size
    Status,             // the status `arg` (503 when negative) with a short text body
  };

  /// A certificate (PEM, the chain after it if any) and its private key, for HTTPS.
  struct Tls {
    std::string certificate_file;
    std::string key_file;
  };

  /// Serves the files under root at "/" on a free port of 127.0.0.1 (or the given port), to GET
  /// and to POST (whose body is ignored, as a login form's would be by a static page). Pages
  /// (".htm", ".html", ".asp") are sent as HTML, everything else as bytes. With tls, over HTTPS.
  explicit FixtureServer(std::filesystem::path root, int port = 0, const Tls* tls = nullptr);
  /// Releases stalled and trickling answers, stops the server and joins its threads.
  ~FixtureServer();
  FixtureServer(const FixtureServer&) = delete;
  FixtureServer& operator=(const FixtureServer&) = delete;

  int Port() const;
  /// "http://127.0.0.1:PORT/", or "https://..." when serving HTTPS
  std::string BaseUrl() const;
  const std::filesystem::path& Root() const;

  /// Makes url_path (with or without its leading "/") misbehave from now on. For Stall, arg
  /// is the number of body bytes sent before the stall; for DropMidBody, the bytes sent
  /// before the drop (half the file when negative); for Trickle and Drip, the pause in
  /// milliseconds; for Flood, the bytes sent in all; for Status, the status code. With times
  /// of 1 or more, only that many answers misbehave and the later ones are served normally.
  void InjectFault(const std::string& url_path, Fault fault, long long arg = -1, int times = -1);
  void ClearFault(const std::string& url_path);
  /// Sends "Retry-After: value" with the ServerError and Status answers of url_path.
  void SetRetryAfter(const std::string& url_path, const std::string& value);
  /// Serves url_path whole with 200 even when a Range asks for a part, as some servers do.
  void IgnoreRange(const std::string& url_path);
  /// Answers url_path with a redirect (302) to location, a URL or an absolute path.
  void AddRedirect(const std::string& url_path, const std::string& location);

  /// Number of GET requests for url_path so far.
  int RequestCount(const std::string& url_path) const;
  /// Paths of all requests so far, in order of arrival.
  std::vector<std::string> Requests() const;
  std::vector<RequestRecord> RequestLog() const;
  /// Number of TCP connections that have carried at least one request.
  int ConnectionCount() const;

  /// Parses a fault name as written on the command line: "404", "500", "cut", "drop",
  /// "stall", "trickle", "drip", "flood", "206", "gzip", "unknown-encoding", "two-lengths",
  /// "status" (or the enumerator names, any case). Returns false when unknown.
  static bool ParseFault(const std::string& name, Fault& fault);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halyard::testing

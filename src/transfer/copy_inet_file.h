// Copies the resource at a URL into a local file over HTTP(S), driving the status window's
// data indicator and honouring the user's Cancel between chunks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/host.h"
#include "core/wall_clock.h"

namespace halyard {

/// Called between chunks; throws (normally the cancel error base+1005) to stop the transfer.
using CancelCheck = std::function<void()>;

/// Sees the bytes of a file as a transfer stores them, so that they can be hashed without
/// reading the file again.
class StoredBytesObserver {
 public:
  virtual ~StoredBytesObserver() = default;
  /// The file starts over: nothing seen before is part of it.
  virtual void Restart() = 0;
  /// The next bytes of the file. May throw; the transfer then fails with that error.
  virtual void Add(const char* bytes, std::size_t size) = 0;
};

/// One internet session: connections are kept alive and reused by the calls made through it.
class InternetSession {
 public:
  InternetSession(Host& host, CancelCheck check_cancelled);
  ~InternetSession();
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;

  /// Writes the body of the URL to local_file. Only a complete "200" answer is stored, or one
  /// put together from a broken-off "200" and a "206" with exactly its rest; an encoded body is
  /// stored decoded. A transfer that breaks off, times out or is answered 408, 429, 500, 502,
  /// 503 or 504 is tried again (see SetRetries) after a status line naming the cause, pausing
  /// 1, 2, 4 ... seconds, or as long as the server's Retry-After asks when that is longer; a
  /// server asking for more than 30 seconds fails at once. The failure of the last try is
  /// what the caller receives. Raises AppError 5 for an empty argument; base+1000 naming
  /// the URL and cause for any transfer failure (another status, a body cut short or larger
  /// than max_bytes, conflicting lengths, an encoding that cannot be decoded, a stall, a
  /// transfer slower than 1 KiB per second over the stall timeout); AppError 61 naming
  /// local_file when the announced length exceeds the free space or the disk fills up; AppError
  /// 75 naming local_file when it cannot be created or written; whatever check_cancelled
  /// throws (what arrived is kept then). Every other failure deletes the partial file. A
  /// failure before the body arrives leaves an existing local_file untouched; an answer
  /// refused for its status or size removes it.
  /// An observer sees every byte of the stored file once, in order: after a Restart as the
  /// file begins, and, when a broken-off file is continued, its kept part read back first.
  void CopyURLToFile(const std::string& url, const std::string& local_file,
                     std::optional<std::int64_t> max_bytes = std::nullopt,
                     StoredBytesObserver* observer = nullptr);

  /// How long a transfer may receive nothing, or less than 1 KiB per second, before it fails
  /// (60 seconds unless changed).
  void SetStallTimeout(std::chrono::milliseconds timeout);

  /// How often a transient failure is tried again (3 unless changed; 0 never).
  void SetRetries(int count);

  /// Where the pauses between tries sleep and what time it is for a server's dates (the
  /// system's clock unless changed). The clock must outlive the session.
  void SetClock(WallClock& clock);

  /// Trusts the certificate authorities in this PEM file besides those of the system's list
  /// (system_bundle, or libcurl's default list when empty), for a server with a private
  /// authority. Certificates are always verified. A file that cannot be read fails the next
  /// transfer with base+1000 naming it.
  void SetCertificateAuthorities(const std::string& pem_file,
                                 const std::string& system_bundle = "");

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// A single transfer in a session of its own.
void CopyURLToFile(const std::string& url, const std::string& local_file, Host& host,
                   CancelCheck check_cancelled);

}  // namespace halyard

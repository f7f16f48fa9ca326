// Copies the resource at a URL into a local file over HTTP(S), driving the status window's
// data indicator and honouring the user's Cancel between chunks.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/host.h"
#include "startup/settings.h"

namespace halyard {

/// One internet session: connections are kept alive and reused by the calls made through it.
class InternetSession {
 public:
  InternetSession(Host& host, const Settings& settings);
  ~InternetSession();
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;

  /// Writes the body of the URL to local_file. Raises AppError 5 for an empty argument,
  /// base+1000 naming the URL and cause for any transfer failure (the partial file is deleted),
  /// the cancel error base+1005 when the user cancels (what arrived is kept), or AppError 75
  /// naming local_file when it cannot be created or written. A failure before the server
  /// answers leaves an existing local_file untouched; an answer that is an HTTP error
  /// (anything but 2xx once redirects are followed) removes it.
  void CopyURLToFile(const std::string& url, const std::string& local_file);

  /// How long a transfer may receive nothing before it fails (60 seconds unless changed).
  void SetStallTimeout(std::chrono::milliseconds timeout);

  /// Trusts the certificate authorities in this PEM file instead of the system's list, for a
  /// server with a private authority. Certificates are always verified.
  void SetCertificateAuthorities(const std::string& pem_file);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// A single transfer in a session of its own.
void CopyURLToFile(const std::string& url, const std::string& local_file, Host& host,
                   const Settings& settings);

}  // namespace halyard

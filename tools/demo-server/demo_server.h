// The demo vendor's web server: the pages under the server path, and the files of an update
// set beside them, on 127.0.0.1.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "demo_pages.h"

namespace halyard::demo {

class DemoServer {
 public:
  /// Receives one line per answered request: method, path, query (passwords masked), status.
  using RequestLog = std::function<void(const std::string& line)>;

  /// Serves the pages under "/" + server_path + "/" and, when set_folder is not empty, the
  /// files below it at the same place. Listens on port of 127.0.0.1 (0: a free one) at once.
  /// bytes_per_second, when not 0, paces each download of a set file to about that rate, so
  /// that a demo on one machine shows the updater's progress. Throws std::runtime_error when
  /// the port cannot be bound.
  /// A certificate (PEM, the chain after it if any) and its private key, for HTTPS.
  struct Tls {
    std::string certificate_file;
    std::string key_file;
  };

  /// With tls, everything is served over HTTPS.
  DemoServer(SiteSettings site, std::string server_path, std::filesystem::path set_folder, int port,
             RequestLog log, std::size_t bytes_per_second = 0, const Tls* tls = nullptr);
  /// Stops listening and joins the server's threads.
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  int Port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halyard::demo

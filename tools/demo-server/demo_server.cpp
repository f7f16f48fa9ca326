// The demo vendor's web server: routing to the pages, serving the update set's files, and the
// request log.
#include "demo_server.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "core/text.h"

namespace halyard::demo {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kChunk = 256 * 1024;
// A paced download sends pieces this large, so that the pauses between them stay short.
constexpr std::size_t kPacedChunk = 16 * 1024;
constexpr const char* kHtml = "text/html; charset=utf-8";

std::string ContentType(const fs::path& path) {
  const std::string extension = UpperCase(path.extension().string());
  if (extension == ".TXT") return "text/plain; charset=windows-1252";
  if (extension == ".ZIP") return "application/zip";
  if (extension == ".HTM" || extension == ".HTML") return kHtml;
  return "application/octet-stream";
}

/// The request as one log line, with the value of every password parameter masked.
std::string LogLine(const httplib::Request& request, int status) {
  std::string target = request.target.empty() ? request.path : request.target;
  const std::size_t query = target.find('?');
  if (query != std::string::npos) {
    std::vector<std::string> parameters = Split(target.substr(query + 1), "&");
    for (std::string& parameter : parameters) {
      constexpr std::string_view kPassword = "password=";
      if (FindNoCase(parameter, kPassword) == 0)
        parameter = parameter.substr(0, kPassword.size()) + "***";
    }
    target.resize(query + 1);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      target += (i == 0 ? "" : "&") + parameters[i];
    }
  }
  return request.method + " " + target + " " + std::to_string(status);
}

/// A path below the set folder, or empty when it would leave it or names no regular file.
fs::path SetFile(const fs::path& set_folder, const std::string& relative) {
  if (set_folder.empty() || relative.empty()) return {};
  for (const std::string& segment : Split(relative, "/")) {
    if (segment.empty() || segment == "." || segment == "..") return {};
  }
  const fs::path full = set_folder / relative;
  std::error_code error;
  return fs::is_regular_file(full, error) ? full : fs::path();
}

}  // namespace

struct DemoServer::Impl {
  SiteSettings site;
  std::string prefix;
  fs::path set_folder;
  RequestLog log;
  std::mutex log_mutex;
  std::unique_ptr<httplib::Server> server;  // an SSLServer when serving HTTPS
  std::thread listener;
  int port = 0;
  std::size_t bytes_per_second = 0;

  void Handle(const httplib::Request& request, httplib::Response& response) const;
  void SendFile(const fs::path& path, httplib::Response& response) const;
};

void DemoServer::Impl::SendFile(const fs::path& path, httplib::Response& response) const {
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  std::error_code error;
  const auto size = static_cast<std::size_t>(fs::file_size(path, error));
  if (!*file || error) {
    response.status = 500;
    return;
  }
  const std::size_t rate = bytes_per_second;
  const auto started = std::chrono::steady_clock::now();
  response.set_content_provider(
      size, ContentType(path),
      [file, rate, started](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (rate != 0) {
          // Sends a piece only once the bytes before it have had their share of time, in
          // short naps so that a client that has gone or a stopping server is noticed.
          const auto due =
              started + std::chrono::microseconds(offset * std::uint64_t{1000000} / rate);
          while (std::chrono::steady_clock::now() < due) {
            if (!sink.is_writable()) return false;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
          }
          length = std::min(length, kPacedChunk);
        }
        std::string buffer(std::min(length, kChunk), '\0');
        file->seekg(static_cast<std::streamoff>(offset));
        file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(file->gcount());
        return got > 0 && sink.write(buffer.data(), got);
      });
}

void DemoServer::Impl::Handle(const httplib::Request& request, httplib::Response& response) const {
  std::string path = request.path;
  // An empty server path gives the updater's URLs a doubled slash.
  while (path.starts_with("//")) path.erase(0, 1);
  const auto page = [&](const std::string& html, int status = 200) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(html, kHtml);
  };
  if (!path.starts_with(prefix)) return page(NotFoundPage(site, path), 404);
  const std::string rest = path.substr(prefix.size());
  if (rest.empty() || EqualsNoCase(rest, "Login.asp")) return page(LoginPage(site));
  if (EqualsNoCase(rest, "CheckLogin.asp")) {
    const bool accepted = request.method == "POST" &&
                          request.get_param_value("UserName") == site.user &&
                          request.get_param_value("Password") == site.password;
    return page(CheckLoginPage(site, accepted));
  }
  if (EqualsNoCase(rest, "Status.asp")) {
    return page(
        StatusPage(site, request.get_param_value("Success"), request.get_param_value("UserName")));
  }
  if (EqualsNoCase(rest, "Cancelled.asp")) return page(CancelledPage(site));
  if (const fs::path file = SetFile(set_folder, rest); !file.empty()) {
    return SendFile(file, response);
  }
  page(NotFoundPage(site, path), 404);
}

DemoServer::DemoServer(SiteSettings site, std::string server_path, fs::path set_folder, int port,
                       RequestLog log, std::size_t bytes_per_second, const Tls* tls)
    : impl_(std::make_unique<Impl>()) {
  while (server_path.starts_with('/')) server_path.erase(0, 1);
  while (server_path.ends_with('/')) server_path.pop_back();
  impl_->site = std::move(site);
  impl_->prefix = server_path.empty() ? "/" : "/" + server_path + "/";
  impl_->set_folder = std::move(set_folder);
  impl_->log = std::move(log);
  impl_->bytes_per_second = bytes_per_second;

  Impl& impl = *impl_;
  if (tls != nullptr) {
    impl.server =
        std::make_unique<httplib::SSLServer>(tls->certificate_file.c_str(), tls->key_file.c_str());
    if (!impl.server->is_valid()) {
      throw std::runtime_error("cannot use the certificate " + tls->certificate_file +
                               " with the key " + tls->key_file);
    }
  } else {
    impl.server = std::make_unique<httplib::Server>();
  }
  const auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
    impl.Handle(request, response);
  };
  impl.server->Get(".*", handler);
  impl.server->Post(".*", handler);
  impl.server->set_logger(
      [&impl](const httplib::Request& request, const httplib::Response& response) {
        if (!impl.log) return;
        std::lock_guard lock(impl.log_mutex);
        impl.log(LogLine(request, response.status));
      });
  impl.port = port == 0 ? impl.server->bind_to_any_port("127.0.0.1")
                        : (impl.server->bind_to_port("127.0.0.1", port) ? port : -1);
  if (impl.port <= 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  impl.listener = std::thread([&impl] { impl.server->listen_after_bind(); });
}

DemoServer::~DemoServer() {
  impl_->server->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

int DemoServer::Port() const {
  return impl_->port;
}

}  // namespace halyard::demo

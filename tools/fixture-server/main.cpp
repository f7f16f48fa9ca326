// halyard-fixture-server: serves a folder on 127.0.0.1 with optional per-path faults until it
// receives SIGINT or SIGTERM. Prints the port it listens on as the first line of output.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fixture_server.h"

namespace {

using halyard::testing::FixtureServer;

struct FaultOption {
  std::string path;
  FixtureServer::Fault fault;
  long long arg = -1;
  int times = -1;
};

/// Reads "PATH=KIND[:ARG][*TIMES]"; returns an error text, empty when the option is good.
std::string ParseFaultOption(const std::string& text, FaultOption& option) {
  const auto equals = text.rfind('=');
  if (equals == std::string::npos || equals == 0)
    return "expected PATH=KIND[:ARG][*TIMES]: " + text;
  option.path = text.substr(0, equals);
  std::string kind = text.substr(equals + 1);
  if (const auto star = kind.find('*'); star != std::string::npos) {
    try {
      option.times = std::stoi(kind.substr(star + 1));
    } catch (const std::exception&) {
      return "fault count is not a number: " + text;
    }
    if (option.times < 1) return "fault count must be at least 1: " + text;
    kind.resize(star);
  }
  if (const auto colon = kind.find(':'); colon != std::string::npos) {
    try {
      option.arg = std::stoll(kind.substr(colon + 1));
    } catch (const std::exception&) {
      return "fault argument is not a number: " + text;
    }
    kind.resize(colon);
  }
  if (!FixtureServer::ParseFault(kind, option.fault)) return "unknown fault kind: " + kind;
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serves a folder over HTTP on 127.0.0.1, with injectable faults"};
  std::string root;
  int port = 0;
  std::vector<std::string> fault_texts;
  std::vector<std::string> redirect_texts;
  FixtureServer::Tls tls;
  std::vector<std::string> retry_after_texts;
  std::vector<std::string> ignore_range_paths;
  app.add_option("--root", root, "folder served at /")->required()->check(CLI::ExistingDirectory);
  app.add_option("--port", port, "port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  app.add_option("--fault", fault_texts,
                 "PATH=KIND[:ARG][*TIMES], KIND one of 404, 500, cut, drop, stall, trickle, "
                 "drip, flood, 206, gzip, unknown-encoding, two-lengths, status; only the first "
                 "TIMES answers misbehave");
  app.add_option("--redirect", redirect_texts, "PATH=LOCATION, answered with 302");
  auto* certificate = app.add_option("--tls-cert", tls.certificate_file,
                                     "serve HTTPS with this PEM certificate (chain after it)")
                          ->check(CLI::ExistingFile);
  app.add_option("--tls-key", tls.key_file, "the certificate's PEM private key")
      ->check(CLI::ExistingFile)
      ->needs(certificate);
  certificate->needs("--tls-key");
  app.add_option("--retry-after", retry_after_texts,
                 "PATH=VALUE, sent as Retry-After with the 500 and status faults of PATH");
  app.add_option("--ignore-range", ignore_range_paths, "PATH, always served whole");
  CLI11_PARSE(app, argc, argv);

  std::vector<FaultOption> faults;
  for (const auto& text : fault_texts) {
    FaultOption option;
    if (const std::string error = ParseFaultOption(text, option); !error.empty()) {
      std::cerr << error << '\n';
      return 2;
    }
    faults.push_back(option);
  }

  // Block the stop signals before the server starts its threads, so that only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    FixtureServer server(root, port, tls.certificate_file.empty() ? nullptr : &tls);
    for (const auto& fault : faults) {
      server.InjectFault(fault.path, fault.fault, fault.arg, fault.times);
    }
    for (const auto& text : redirect_texts) {
      const auto equals = text.find('=');
      if (equals == std::string::npos) {
        std::cerr << "expected PATH=LOCATION: " << text << '\n';
        return 2;
      }
      server.AddRedirect(text.substr(0, equals), text.substr(equals + 1));
    }
    for (const auto& text : retry_after_texts) {
      const auto equals = text.find('=');
      if (equals == std::string::npos) {
        std::cerr << "expected PATH=VALUE: " << text << '\n';
        return 2;
      }
      server.SetRetryAfter(text.substr(0, equals), text.substr(equals + 1));
    }
    for (const auto& path : ignore_range_paths) server.IgnoreRange(path);
    std::cout << server.Port() << std::endl;
    int received = 0;
    sigwait(&stop_signals, &received);
    std::cerr << "served " << server.Requests().size() << " requests over "
              << server.ConnectionCount() << " connections\n";
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  return 0;
}

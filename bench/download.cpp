// Fetches a list of URLs through one InternetSession, the way an update run fetches its files.
// Usage: bench_download <list>   where each line of list is "URL OUTPUT-PATH".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "core/app_error.h"
#include "core/host.h"
#include "transfer/copy_inet_file.h"

namespace {

/// Shows nothing: the benchmark measures the transfer alone.
class SilentHost : public halyard::Host {
 public:
  void ShowMessage(const std::string& text) override { std::cerr << text << '\n'; }
  halyard::StatusWindow& Status() override { return status_; }
  void DoEvents() override {}
  [[noreturn]] void EndProgram() override { std::exit(3); }

 private:
  halyard::SilentStatusWindow status_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <list of 'URL OUTPUT' lines>\n", argv[0]);
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  SilentHost host;
  halyard::InternetSession session(host, [] {});
  std::string line;
  int count = 0;
  try {
    while (std::getline(list, line)) {
      std::istringstream fields(line);
      std::string url;
      std::string output;
      if (!(fields >> url >> output)) continue;
      session.CopyURLToFile(url, output);
      ++count;
    }
  } catch (const halyard::AppError& error) {
    std::fprintf(stderr, "error %d: %s\n", error.Number(), error.Description().c_str());
    return 1;
  }
  std::fprintf(stderr, "%d files\n", count);
  return 0;
}

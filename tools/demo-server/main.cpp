// halyard-demo-server: the demo vendor's site (login, status and cancelled pages) and an update
// set on 127.0.0.1, until SIGINT or SIGTERM. The first line of output is the port; then one
// line per request.
#include <csignal>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "demo_server.h"

int main(int argc, char** argv) {
  CLI::App app{"Serves the demo vendor's pages and an update set on 127.0.0.1 for the updater.",
               "halyard-demo-server"};
  app.footer(
      "Pages under http://127.0.0.1:PORT/SERVER_PATH/: Login.asp (sign-in form), CheckLogin.asp\n"
      "(the answer the updater reads), Status.asp, Cancelled.asp; every other path there is a\n"
      "file of the --set folder. Output: the port on the first line, then one line per request\n"
      "(method, path and query with passwords masked, status).\n"
      "Exit codes: 0 stopped by SIGINT or SIGTERM, 1 the port could not be used, 64 the\n"
      "command line was wrong.");
  halyard::demo::SiteSettings site;
  int port = 0;
  std::string server_path = "acme/editor";
  std::string set_folder;
  app.add_option("--port", port, "Port on 127.0.0.1; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--server-path", server_path, "ServerPath of the updater's updater.ini")
      ->capture_default_str();
  app.add_option("--user", site.user, "The demo account's user name")->capture_default_str();
  app.add_option("--password", site.password, "The demo account's password")->capture_default_str();
  app.add_option("--set", set_folder, "Update set folder (as halyard-publish writes it)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--product", site.product, "Product name shown on the pages")
      ->capture_default_str();
  std::size_t rate_kib = 0;
  app.add_option("--rate", rate_kib,
                 "Pace each download of a set file to about this many KiB per second, to watch "
                 "the updater's progress; 0 sends at full speed")
      ->capture_default_str();
  halyard::demo::DemoServer::Tls tls;
  auto* certificate = app.add_option("--tls-cert", tls.certificate_file,
                                     "Serve HTTPS with this PEM certificate (its chain after it)")
                          ->check(CLI::ExistingFile);
  app.add_option("--tls-key", tls.key_file, "The certificate's PEM private key")
      ->check(CLI::ExistingFile)
      ->needs(certificate);
  certificate->needs("--tls-key");
  app.add_flag("--auto", site.automatic,
               "The pages act by themselves: the login form sends itself, the status and "
               "cancelled pages close the updater after two seconds");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 64;
  }
  for (const auto& [name, value] :
       {std::pair{"--user", site.user}, {"--password", site.password}}) {
    if (const std::string problem = halyard::demo::CredentialProblem(value); !problem.empty()) {
      std::cerr << "halyard-demo-server: " << name << " " << problem << "\n";
      return 64;
    }
  }

  // Only sigwait sees the stop signals: block them before the server starts its threads.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    halyard::demo::DemoServer server(
        site, server_path, set_folder, port,
        [](const std::string& line) { std::cout << line << std::endl; }, rate_kib * 1024,
        tls.certificate_file.empty() ? nullptr : &tls);
    std::cout << server.Port() << std::endl;
    std::cerr << "halyard-demo-server: " << (tls.certificate_file.empty() ? "http" : "https")
              << "://127.0.0.1:" << server.Port() << "/" << server_path
              << (server_path.empty() ? "" : "/") << "Login.asp\n";
    int received = 0;
    sigwait(&stop_signals, &received);
  } catch (const std::exception& error) {
    std::cerr << "halyard-demo-server: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

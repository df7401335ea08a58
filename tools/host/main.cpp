// krthost: the reference host. Loads the device plug-in, drives polls and
// shows what the device publishes; "krthost decode" reads a stored snapshot.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "decode_command.h"
#include "host.h"
#include "options.h"
#include "serve.h"

namespace {

std::atomic<bool> g_stop{false};
krthost::site::ServeSignals g_serve;

extern "C" void on_signal(int) { g_stop = true; }
extern "C" void on_serve_signal(int sig) {
  if (sig == SIGHUP) g_serve.reload = true;
  else g_serve.stop = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "decode")
    return krthost::RunDecode(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
  if (argc > 1 && std::string(argv[1]) == "serve") {
    struct sigaction sa {};
    sa.sa_handler = on_serve_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return krthost::site::RunServe(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr,
                                   g_serve);
  }
  krthost::Options options;
  try {
    options = krthost::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const krthost::UsageError& e) {
    std::cerr << "krthost: " << e.what() << " (see krthost --help)" << std::endl;
    return krthost::kExitBadInput;
  }
  if (options.help) {
    std::cout << krthost::Usage();
    return krthost::kExitOk;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return krthost::RunHost(options, std::cout, std::cerr, g_stop);
}

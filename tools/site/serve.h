// `krthost serve SITE.json`: the site host. Runs every device of the site
// file until SIGINT or SIGTERM; SIGHUP re-reads the site file.
#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "device_worker.h"

namespace krthost::site {

struct ServeSignals {
  std::atomic<bool> stop{false};
  std::atomic<bool> reload{false};
};

// `args` are the arguments after "serve". Bad input at start is one line on
// `err` naming the file and the member, and exit status 2.
// The standard-output sink of the command: one line per device state change
// and per alarm raise and clear (with debug, one per poll). For harnesses
// that run the site code without the command.
std::unique_ptr<SiteSink> MakeConsoleSink(SharedOutput& out, LogLevel level);

int RunServe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
             ServeSignals& signals);

}  // namespace krthost::site

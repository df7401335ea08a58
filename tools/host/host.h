// The reference host: loads the plug-in, creates and configures one device
// on the chosen line and drives its polls, printing a summary per poll and
// writing the event stream.
#pragma once

#include <atomic>
#include <ostream>

#include "options.h"

namespace krthost {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 2;

// Runs the host until the polls asked for are done or `stop` is set.
// Problems with the input (plug-in, configuration, scenario, events file)
// are one line on `err` and kExitBadInput.
int RunHost(const Options& options, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop);

}  // namespace krthost

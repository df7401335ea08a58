// Standard-output lines that are part of the device's behaviour: the
// settings trace of mode 3 and the mobile rule set's trace line. Monitoring
// staff and scripts read them on the host's standard output, so they are
// required output, not log messages: they do not go through the Log hook,
// and their texts must stay as they are.
#pragma once

#include <iostream>

namespace hvr38qt {

// Writes the parts as a standard stream formats them, then ends the line
// and flushes.
template <class... Parts>
void write_stdout_line(const Parts&... parts) {
  (std::cout << ... << parts) << std::endl;
}

}  // namespace hvr38qt

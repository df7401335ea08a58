// krthost decode: prints a stored snapshot image as JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace krthost {

// Runs "krthost decode" with the arguments after the word "decode". The
// JSON goes to `out`; problems with the input are one line on `err`.
// Returns 0 for an image decoded (whole or cut), 1 for an image too short
// to read, 2 for bad input.
int RunDecode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace krthost

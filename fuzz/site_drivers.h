// Drivers of the site host's input: the site file and the HTTP requests.
// They need the tools (krthost_site), so they live apart from the device's
// drivers in drivers.h and are built only with the tools.
//
// Input layouts:
//
// site file      JSON text. Inputs whose config_file or password_file is
//                absolute or climbs with ".." are skipped; relative paths
//                resolve in a directory that does not exist, so nothing is
//                read from the file system.
// http request   u8 flags (bits 0-1: method GET, HEAD, POST, the first
//                field; bit 2: send the right token; bit 3: the token also
//                as ?token=), u8 ac units, u8 dc units, u16 snapshot size,
//                snapshot bytes, then up to four fields separated by 0
//                bytes: path, query, Authorization header, method
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Returns whether the input was parsed (false: skipped or not JSON).
bool drive_site_file(const std::uint8_t* data, std::size_t size);
void drive_http_request(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz

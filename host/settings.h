// Reading of configuration members as the host hands them over: values are
// read as text; absent or null members keep the previous value, and a member
// that cannot be read as text (an object or an array) is logged and treated
// as absent, so a bad configuration never throws out of a settings step.
#pragma once

#include <string>
#include <string_view>

#include <json/json.h>

class KRTVDevice;

namespace settings {

// The member `name` of `v` when `v` is an object holding it as an object;
// otherwise null.
const Json::Value* object_member(const Json::Value& v, const char* name);

// The member `name` of `v` when `v` is an object holding it and it is not
// null; otherwise null.
const Json::Value* member(const Json::Value& v, const char* name);

// Reads member `name` of `obj` as text into `out`. Returns false (out
// untouched) when absent, null or not readable as text; the last is logged
// through the device.
bool read_text(KRTVDevice& device, const Json::Value& obj, const char* name, std::string& out);

// The text of a value, or nullopt-like false when it is an object or array.
bool as_text(const Json::Value& v, std::string& out);

// The whole number at the start of `text`, read as atoi reads it: leading
// white space, an optional sign, then digits up to the first other
// character; no digits read 0. A number beyond the range of int saturates
// at INT_MIN or INT_MAX instead of being undefined.
int to_int(std::string_view text);

}  // namespace settings

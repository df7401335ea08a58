#include "settings.h"

#include <limits>

#include "krt_device.h"

namespace settings {

const Json::Value* member(const Json::Value& v, const char* name) {
  if (!v.isObject()) return nullptr;
  const Json::Value* m = v.find(name, name + std::char_traits<char>::length(name));
  if (m == nullptr || m->isNull()) return nullptr;
  return m;
}

const Json::Value* object_member(const Json::Value& v, const char* name) {
  const Json::Value* m = member(v, name);
  return (m != nullptr && m->isObject()) ? m : nullptr;
}

bool as_text(const Json::Value& v, std::string& out) {
  if (v.isObject() || v.isArray() || v.isNull()) return false;
  try {
    out = v.asString();
  } catch (const Json::Exception&) {
    return false;
  }
  return true;
}

bool read_text(KRTVDevice& device, const Json::Value& obj, const char* name, std::string& out) {
  const Json::Value* m = member(obj, name);
  if (m == nullptr) return false;
  if (!as_text(*m, out)) {
    device.InfoLog("setting {} of device {} is not a text or number value, ignored", name,
                   device.DataId());
    return false;
  }
  return true;
}

int to_int(std::string_view text) {
  std::size_t i = 0;
  // White space as the C locale's isspace knows it.
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated towards the sign's side, held one step beyond int's range.
  constexpr long long kLimit = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int>(-magnitude);  // -kLimit is INT_MIN
  return magnitude >= kLimit ? std::numeric_limits<int>::max() : static_cast<int>(magnitude);
}

}  // namespace settings

#include "settings.h"

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

}  // namespace settings

#include "alarm_json.h"

namespace krthost::site {

Json::Value TextOrNull(const std::string& s) { return s.empty() ? Json::Value() : Json::Value(s); }

void PutAlarmFields(Json::Value& o, const AlarmInstance& a) {
  o["key"] = a.key;
  o["nm_id"] = a.nm_id;
  o["seq"] = a.seq;
  o["kind"] = a.kind;
  o["name"] = a.name;
  o["desc"] = a.desc;
  o["raised_at"] = a.raised_at;
}

}  // namespace krthost::site

// An alarm instance's members in JSON, named the same in the events file,
// the HTTP API and the MQTT payloads.
#pragma once

#include <string>

#include <json/json.h>

#include "site_types.h"

namespace krthost::site {

// A text, or null when it is empty.
Json::Value TextOrNull(const std::string& s);

// key, nm_id, seq, kind, name, desc and raised_at of `a` into `o`.
void PutAlarmFields(Json::Value& o, const AlarmInstance& a);

}  // namespace krthost::site

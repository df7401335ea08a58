// A controller that records every effect a device publishes, in order.
#pragma once

#include <string>
#include <vector>

#include "krt_device.h"

namespace testing_support {

struct Report {
  int kind;
  std::string key, nm_id, name, desc;
  bool active;
  unsigned short seq;
};

class RecordingController : public KRTController {
 public:
  // Effects in the order they happened: "sendsp", "history", "batch",
  // "report", "log".
  std::vector<std::string> order;
  std::vector<Report> reports;
  std::vector<std::string> logs;
  std::vector<std::vector<unsigned char>> snapshots;  // SendSP payloads
  std::vector<int> snapshot_types;
  std::vector<std::vector<unsigned char>> histories;
  bool batch_result = false;
  int batch_calls = 0;

  void SendSP(unsigned, int type, const unsigned char* data, unsigned size, bool) override {
    order.push_back("sendsp");
    snapshot_types.push_back(type);
    snapshots.emplace_back(data, data + (data ? size : 0));
  }
  void SaveDeviceHistory(unsigned, const unsigned char* data, unsigned size) override {
    order.push_back("history");
    histories.emplace_back(data, data + (data ? size : 0));
  }
  void CheckThresholdBool(unsigned, int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool active,
                          unsigned short seq) override {
    order.push_back("report");
    reports.push_back({kind, key, nm_id, name, desc, active, seq});
  }
  bool DoBatchCheckThreshold(unsigned, const std::vector<rule_value>&) override {
    order.push_back("batch");
    ++batch_calls;
    return batch_result;
  }
  void Log(unsigned, std::string_view text) override {
    order.push_back("log");
    logs.emplace_back(text);
  }
  void Clear() {
    order.clear();
    reports.clear();
    logs.clear();
    snapshots.clear();
    snapshot_types.clear();
    histories.clear();
    batch_calls = 0;
  }
};

}  // namespace testing_support

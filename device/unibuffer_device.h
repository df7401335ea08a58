// Buffered device base: owns the snapshot buffer, the rule-set mode and the
// threshold text maps; ends every poll cycle (RoundDone) and restores a
// cached snapshot (LoadFromCache).
#pragma once

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/stdout_line.h"
#include "krt_device.h"
#include "settings.h"

template <class Protocol, int kDataType>
class UniBufferDevice : public Protocol {
 public:
  using Buffer = std::vector<unsigned char>;

  UniBufferDevice() = default;
  ~UniBufferDevice() override = default;

  using Protocol::LoadFromCache;  // keep the text overload visible
  int LoadFromCache(const unsigned char* data, int len) override;
  void RoundDone() override;
  int InitSetting(const Json::Value& config) override;
  // Hook of the cycle end; the device lays out its snapshot and runs rules.
  virtual void RunCheckThreshold() {}

  int Mode() const { return mode_; }
  int SnapshotSize() const { return snapshot_size_; }
  const std::shared_ptr<Buffer>& Snapshot() const { return snapshot_; }
  const std::map<std::string, std::string>& AlarmIdMap() const { return alarm_id_map_; }
  const std::map<std::string, std::string>& SignalNameMap() const { return signal_name_map_; }

 protected:
  int snapshot_size_ = 0;
  std::shared_ptr<Buffer> snapshot_;
  int mode_ = 1;
  std::map<std::string, std::string> alarm_id_map_;
  std::map<std::string, std::string> signal_name_map_;

 private:
  void load_threshold_setting(const Json::Value& config);
};

template <class Protocol, int kDataType>
int UniBufferDevice<Protocol, kDataType>::InitSetting(const Json::Value& config) {
  if (const Json::Value* app = settings::object_member(config, "appSetting")) {
    std::string text;
    if (settings::read_text(*this, *app, "b_mode", text)) mode_ = settings::to_int(text);
  }
  if (mode_ == 3) load_threshold_setting(config);
  return Protocol::InitSetting(config);
}

template <class Protocol, int kDataType>
void UniBufferDevice<Protocol, kDataType>::load_threshold_setting(const Json::Value& config) {
  // The settings trace of this mode is required output (stdout_line.h).
  hvr38qt::write_stdout_line("here 1");
  const Json::Value* ts = settings::member(config, "thresholdSetting");
  if (ts == nullptr) return;
  hvr38qt::write_stdout_line("here 2");
  if (!ts->isObject()) return;  // only an object has named members
  static constexpr const char* kIdMembers[] = {"NMAlarmID", "ID", "SignalNumber"};
  for (auto it = ts->begin(); it != ts->end(); ++it) {
    const std::string key = it.name();
    hvr38qt::write_stdout_line("here ", key);
    const Json::Value& v = *it;
    if (!v.isObject()) continue;
    std::string text;
    if (settings::read_text(*this, v, "SignalName", text)) signal_name_map_[key] = text;
    std::string id_text;
    for (const char* m : kIdMembers) {
      if (settings::read_text(*this, v, m, text)) {
        id_text += text;
      } else {
        hvr38qt::write_stdout_line(this->DataId(), " ", m, " is missing");
      }
      id_text += ";";
    }
    const int level = this->LevelMap()[key];
    const float value = this->ValueMap()[key];
    hvr38qt::write_stdout_line("mobile:", key, ":", id_text, " level:", level, " value:", value);
    alarm_id_map_[key] = id_text;
  }
}

template <class Protocol, int kDataType>
void UniBufferDevice<Protocol, kDataType>::RoundDone() {
  if (this->data_ready_ != 1) this->data_ready_ = 1;
  this->status_ = 1;
  this->data_change_ = 0;
  RunCheckThreshold();
  this->last_update_ = this->Now();
  this->SendSP(kDataType, snapshot_ ? snapshot_->data() : nullptr,
               static_cast<unsigned>(snapshot_ ? snapshot_size_ : 0), false);
  this->Reset();
  const bool changed = this->DoBatchCheckThreshold(this->rule_list_);
  this->data_change_ = (changed || this->data_change_) ? 1 : 0;
  // Read the buffer again: a host may have restored the cache with another
  // length from inside SendSP, Reset or its batched check, which replaces
  // the buffer the first pointer pointed into.
  this->SaveDeviceHistory(snapshot_ ? snapshot_->data() : nullptr,
                          static_cast<unsigned>(snapshot_ ? snapshot_size_ : 0));
  this->rule_list_.clear();
}

template <class Protocol, int kDataType>
int UniBufferDevice<Protocol, kDataType>::LoadFromCache(const unsigned char* data, int len) {
  // A negative length or no data is a host fault: nothing to restore.
  if (data == nullptr || len < 0) {
    this->InfoLog("device {} cache restore refused: no data or negative length {}",
                  this->DataId(), len);
    return 0;
  }
  if (!snapshot_ || len != snapshot_size_) {
    snapshot_size_ = len;
    snapshot_ = std::make_shared<Buffer>(static_cast<std::size_t>(len), 0);
  }
  if (len > 0) std::memcpy(snapshot_->data(), data, static_cast<std::size_t>(len));
  this->data_ready_ = 1;
  this->last_update_ = this->Now();
  return 1;
}

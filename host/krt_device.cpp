#include "krt_device.h"

#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

ttime get_ttime(const ptime& t) {
  ttime out{};
  if (t.is_special()) return out;
  const auto date = t.date();
  const auto tod = t.time_of_day();
  const auto year = static_cast<unsigned>(date.year());
  out[0] = static_cast<std::uint8_t>(year & 0xFF);
  out[1] = static_cast<std::uint8_t>(year >> 8);
  out[2] = static_cast<std::uint8_t>(date.month().as_number());
  out[3] = static_cast<std::uint8_t>(date.day().as_number());
  out[4] = static_cast<std::uint8_t>(tod.hours());
  out[5] = static_cast<std::uint8_t>(tod.minutes());
  out[6] = static_cast<std::uint8_t>(tod.seconds());
  return out;
}

// ---- KRTController: the defaults discard everything ----
KRTController::~KRTController() = default;
void KRTController::SendSP(unsigned, int, const unsigned char*, unsigned, bool) {}
void KRTController::SaveDeviceHistory(unsigned, const unsigned char*, unsigned) {}
void KRTController::CheckThresholdBool(unsigned, int, const std::string&, const std::string&,
                                       const std::string&, const std::string&, bool,
                                       unsigned short) {}
bool KRTController::DoBatchCheckThreshold(unsigned, const std::vector<rule_value>&) {
  return false;
}
void KRTController::Log(unsigned, std::string_view) {}

// ---- VDeviceInterface ----
VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned, const std::string&) const {
  throw std::out_of_range("数据未就绪");
}

int VDeviceInterface::LoadFromCache(const std::string& data) {
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return 0;
  return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size()));
}

unsigned VDeviceInterface::DataId() const { return data_id_; }
const std::string& VDeviceInterface::DeviceType() const { return device_type_; }
bool VDeviceInterface::UseControllerDb() const { return use_controller_db_; }
VDevicePtr VDeviceInterface::GetChildVDevice(unsigned) const { return {}; }
std::vector<VDevicePtr> VDeviceInterface::GetAllChildVDevices() const { return {}; }

// ---- KRTVDevice ----
namespace {
ptime local_clock() { return boost::posix_time::second_clock::local_time(); }
}  // namespace

KRTVDevice::KRTVDevice() : clock_(&local_clock) {}
KRTVDevice::~KRTVDevice() = default;

int KRTVDevice::DeviceIoControl(int, void*, void*) { return 0; }
int KRTVDevice::InitV(unsigned id, const Json::Value&) {
  data_id_ = id;
  return 1;
}
bool KRTVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_; }

void KRTVDevice::SendSP(int type, const unsigned char* data, unsigned size, bool delayed) {
  if (auto c = controller_.lock()) c->SendSP(data_id_, type, data, size, delayed);
}
int KRTVDevice::SendDelayData() { return 0; }
int KRTVDevice::SendDoData(unsigned, int) { return 0; }
int KRTVDevice::ReadDi(unsigned) { return 0; }
float KRTVDevice::ReadAi(unsigned) { return 0.0f; }
int KRTVDevice::Get_SP_Value(int, std::vector<unsigned char>&) const { return 0; }

void KRTVDevice::SaveDeviceHistory(const unsigned char* data, unsigned size) {
  if (auto c = controller_.lock()) c->SaveDeviceHistory(data_id_, data, size);
}

void KRTVDevice::CheckThresholdBool(int kind, const std::string& key, const std::string& nm_id,
                                    const std::string& name, const std::string& desc,
                                    bool active, unsigned short seq) {
  if (auto c = controller_.lock())
    c->CheckThresholdBool(data_id_, kind, key, nm_id, name, desc, active, seq);
}

bool KRTVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  if (auto c = controller_.lock()) return c->DoBatchCheckThreshold(data_id_, rules);
  return false;
}

// ---- KRTSPDevice ----
KRTSPDevice::KRTSPDevice() = default;
KRTSPDevice::~KRTSPDevice() {
  if (transport_) transport_->Close();
}

void KRTSPDevice::Reset() {}

int KRTSPDevice::Init(std::weak_ptr<KRTController> controller, unsigned id,
                      const Json::Value& config) {
  controller_ = std::move(controller);
  data_id_ = id;
  return InitSetting(config);
}

int KRTSPDevice::RefreshStatus() {
  // A line that was lost is reopened at the start of the next poll.
  open_failed_ = false;
  if (transport_ && !transport_->IsOpen()) OpenPort();
  return 1;
}

bool KRTSPDevice::IsProcessing() const { return false; }
bool KRTSPDevice::IsStalled() const { return false; }

int KRTSPDevice::SendData(const unsigned char* data, unsigned size) {
  if (!transport_) return 0;
  // One failed open per poll is enough: the poll's requests do not retry it.
  if (!transport_->IsOpen() && (open_failed_ || !OpenPort())) return 0;
  if (!transport_->Write(data, size)) {
    InfoLog("device {} send failed: {}", data_id_, transport_->LastError());
    ClosePort();
    return 0;
  }
  return static_cast<int>(size);
}

int KRTSPDevice::SendParityData(const unsigned char* data, unsigned size) {
  return SendData(data, size);
}

int KRTSPDevice::OpenPort() {
  if (!transport_) return 0;
  transport_->Close();
  open_failed_ = !transport_->Open();
  if (open_failed_) {
    InfoLog("device {} open port failed: {}", data_id_, transport_->LastError());
    return 0;
  }
  return 1;
}

void KRTSPDevice::ClosePort() {
  if (transport_) transport_->Close();
}

void KRTSPDevice::SetTransport(std::shared_ptr<ByteTransport> transport) {
  if (transport_) transport_->Close();
  transport_ = std::move(transport);
}

// ---- Providers ----
Provider::~Provider() = default;
KRTSPDeviceProvider::~KRTSPDeviceProvider() = default;

// One device of the site on its own thread: created from its plug-in's
// provider, configured, restored from the newest stored snapshot, then
// polled at its interval until stopped. Nothing else calls into the device;
// after every poll the worker publishes an immutable status record, turns
// the rule reports into alarm raises and clears and queues the history.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "history_store.h"
#include "options.h"
#include "plugin_library.h"
#include "poll_runner.h"
#include "site_config.h"
#include "site_types.h"

namespace krthost::site {

// Whole lines to one stream from many threads: each thread writes through
// its own LineStream, which hands over complete lines under one lock.
class SharedOutput {
 public:
  explicit SharedOutput(std::ostream& out) : out_(out) {}
  void Write(const std::string& text);

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

class LineBuffer : public std::streambuf {
 public:
  explicit LineBuffer(SharedOutput& out) : out_(out) {}

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  SharedOutput& out_;
  std::string line_;
};

// What all workers share. The sinks and the store outlive every worker.
struct SiteContext {
  StatusBoard* board = nullptr;
  HistoryStore* store = nullptr;          // null: no history
  std::vector<SiteSink*> sinks;           // told of every status and alarm
  SharedOutput* log = nullptr;            // standard error
  LogLevel level = LogLevel::kInfo;
  // Called on the writer thread after a device's snapshot row committed.
  std::function<void(std::uint32_t id, const std::string& name, const std::string& taken_at)> committed;
};

class DeviceWorker {
 public:
  DeviceWorker(DeviceEntry conf, std::shared_ptr<PluginLibrary> plugin, SiteContext& context);
  ~DeviceWorker();  // stops and joins
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  void Start();
  // Asks the poll to stop at its next step (a wait for the next poll ends
  // at once); Join waits for the thread.
  void RequestStop();
  void Join();

  const DeviceEntry& Entry() const { return conf_; }

 private:
  void run();
  // Until `t` or a stop request, whichever comes first.
  void wait_until(std::chrono::steady_clock::time_point t);

  DeviceEntry conf_;
  std::shared_ptr<PluginLibrary> plugin_;
  SiteContext& context_;
  std::atomic<bool> stop_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

// The site host's name for a poll outcome ("line_lost" where the one-device
// host says "line lost").
const char* SiteOutcomeName(PollOutcome outcome);

}  // namespace krthost::site

// One device of the site, a job of the site's poll pool: created from its
// plug-in's provider, configured and restored from the newest stored
// snapshot in its first step, then polled at its interval, one step a
// poll, until stopped. Nothing else calls into the device; after every poll
// the worker publishes an immutable status record, turns the rule reports
// into alarm raises and clears and queues the history.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "history_store.h"
#include "options.h"
#include "plugin_library.h"
#include "poll_pool.h"
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
  PollPool* pool = nullptr;               // runs the workers' steps
  StatusBoard* board = nullptr;
  HistoryStore* store = nullptr;          // null: no history
  std::vector<SiteSink*> sinks;           // told of every status and alarm
  SharedOutput* log = nullptr;            // standard error
  LogLevel level = LogLevel::kInfo;
  // Called on the writer thread after a device's snapshot row committed.
  std::function<void(std::uint32_t id, const std::string& name, const std::string& taken_at)> committed;
};

class DeviceWorker : private PollJob {
 public:
  DeviceWorker(DeviceEntry conf, std::shared_ptr<PluginLibrary> plugin, SiteContext& context);
  ~DeviceWorker() override;  // stops and waits for the last step
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  void Start();
  // Asks the poll to stop at its next step (a wait for the next poll ends
  // at once); Join waits for the last step.
  void RequestStop();
  void Join();

  const DeviceEntry& Entry() const { return conf_; }

 private:
  struct State;
  std::optional<Clock::time_point> Step() override;
  // The first step: false when the device cannot run.
  bool set_up();
  // One poll: when the next is due, or nothing when the poll was stopped.
  std::optional<Clock::time_point> poll();
  void publish(bool changed);
  // Hands raises and clears to the store, then to the sinks at once.
  void alarm_events(const std::vector<AlarmEvent>& events);

  DeviceEntry conf_;
  std::shared_ptr<PluginLibrary> plugin_;
  SiteContext& context_;
  std::atomic<bool> stop_{false};
  bool started_ = false;
  std::unique_ptr<State> state_;  // from the first step to the last
};

// The site host's name for a poll outcome ("line_lost" where the one-device
// host says "line lost").
const char* SiteOutcomeName(PollOutcome outcome);

}  // namespace krthost::site

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data_queue.h"

// Owns the queues of every node and sensor type and the report thread that
// every 30 seconds drains them into one report and uploads it.
//
// Readings of a report that could not leave the gateway (host not resolved,
// connection refused) go back to the front of their queues. The queues
// together hold at most kMaxPendingReadings; past that the oldest readings
// are dropped.
class Reporter {
 public:
  // 10000 readings take about 4.3 MiB of heap on a 64-bit host (less with
  // the router's 32-bit pointers), plus one copy while a report is built,
  // and make a body of about 400 KB (bench/report). A typical installation
  // (tens of nodes, a few sensor types, one reading a minute each) keeps
  // an hour or more of readings while the cloud is unreachable.
  static constexpr size_t kMaxPendingReadings = 10000;
  static constexpr int kReportPeriodSeconds = 30;

  Reporter() = default;
  virtual ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  void Start();
  // Returns promptly: wakes the thread's sleep and aborts a running upload.
  void Stop();

  // Offers `reading` to the queue of `device_id` and `sensor_type`.
  void UpdateData(const std::string& device_id, const std::string& sensor_type, nlohmann::json& reading);
  // The queue of `device_id` and `sensor_type`, created on first use.
  // Called with the mutex held.
  DataQueue* GetDataQueue(const std::string& device_id, const std::string& sensor_type);

  // Drains every queue into {"nodes":[{"id","vs"}]}, or nothing when no
  // reading waits. The drained readings are kept until the upload is judged.
  std::optional<std::string> BuildReport();
  // Puts the readings of the last built report back in front of their queues.
  void RequeueReport();
  // Forgets the readings of the last built report.
  void ReleaseReport();

  // One report cycle: build, upload, judge.
  void ReportCycle();

  // Readings waiting in all queues.
  size_t PendingCount();
  // Readings dropped for the bound since the last call.
  size_t TakeDroppedCount();

 private:
  void ReportThread();
  // Drops oldest readings until at most kMaxPendingReadings wait. Mutex held.
  void TrimToBound();
  bool StopRequested();

  std::unordered_map<std::string, std::vector<std::shared_ptr<DataQueue>>> index_;
  std::mutex mutex_;
  std::atomic<bool> running_{false};
  std::thread thread_;

  // Under mutex_: the queue of every waiting reading, oldest first.
  std::deque<DataQueue*> arrivals_;
  // Under mutex_: the readings of the report being uploaded.
  std::vector<std::pair<DataQueue*, std::vector<nlohmann::json>>> in_flight_;
  std::deque<DataQueue*> in_flight_arrivals_;
  size_t dropped_ = 0;

  std::mutex wake_lock_;
  std::condition_variable wake_;
  bool stop_requested_ = false;
};

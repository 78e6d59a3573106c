#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "data_queue.h"
#include "upload.h"

// Pace of the report thread. Tests shorten it; the product uses the defaults.
struct ReporterTiming {
  std::chrono::milliseconds period{30000};           // between attempts while all is well
  std::chrono::milliseconds backoff_cap{600000};     // longest wait after failures
  std::chrono::milliseconds retry_after_cap{3600000};  // longest wait a server may ask for
  std::chrono::milliseconds spool_interval{30000};   // shortest time between two spool writes
};

// Owns the thinning state of every node and sensor type, the readings that
// wait for the cloud, and the report thread that uploads them.
//
// Delivery is at least once: a reading leaves the gateway only when the
// server confirmed the report that carries it (2xx) or refused its content
// for good. A report whose fate is unknown is sent again unchanged, with the
// same Idempotency-Key, so the server can drop a copy. The waiting readings
// and the report in flight are spooled to a file so that they survive a
// restart of the daemon.
class Reporter {
 public:
  // A waiting reading costs under 100 bytes of heap (bench/report), so the
  // bound is about 1 MiB; a typical installation (tens of nodes, a few
  // sensor types, one reading a minute each) keeps hours of readings while
  // the cloud is away.
  static constexpr size_t kMaxPendingReadings = 10000;
  // One report carries at most this many readings (about 80 KB of body),
  // and at most kMaxBatchBytes: a backlog drains in several requests that
  // each fit comfortably in the router's memory and the server's limits.
  static constexpr size_t kMaxBatchReadings = 2000;
  static constexpr size_t kMaxBatchBytes = 256 * 1024;
  static constexpr int kReportPeriodSeconds = 30;

  // One reading as it waits: its compact JSON text, the queue it came
  // through, and when it was admitted (Unix seconds).
  struct Waiting {
    uint32_t queue;
    uint32_t admitted_at;
    std::string text;
  };

  Reporter();
  virtual ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Before Start: timing, spool file (empty: no spool), the version shown by
  // the status.
  void Configure(const ReporterTiming& timing, const std::string& spool_path, const std::string& version = "");

  void Start();
  // Returns promptly: wakes the thread's wait and aborts a running upload;
  // then writes the spool.
  void Stop();

  // Offers `reading` to the queue of `device_id` and `sensor_type`.
  void UpdateData(const std::string& device_id, const std::string& sensor_type, const nlohmann::json& reading);
  // The queue of `device_id` and `sensor_type`, created on first use.
  // Called with the mutex held.
  DataQueue* GetDataQueue(const std::string& device_id, const std::string& sensor_type);

  // The body of the report in flight; when none is in flight, the next
  // batch of waiting readings (oldest first) becomes it. Nothing when no
  // reading waits.
  std::optional<std::string> BuildReport();
  // The Idempotency-Key of the report in flight (empty when none).
  std::string InFlightKey();
  // Puts the readings of the report in flight back in front of the waiting
  // ones (the server never saw it).
  void RequeueReport();
  // Forgets the report in flight (confirmed or refused).
  void ReleaseReport();
  // Keeps the older half of the report in flight as a new report and puts
  // the rest back in front of the waiting readings. Later batches are no
  // larger. Returns false for a report of one reading.
  bool HalveReport();

  // One attempt: build or resend, upload, judge. Returns the time until the
  // next attempt is due.
  std::chrono::milliseconds ReportCycle();

  // Readings not yet confirmed: waiting and in flight.
  size_t PendingCount();
  // Readings dropped for the bound since the last call.
  size_t TakeDroppedCount();

  // Reads the spool back (before Start). A missing file is no error; one
  // that is unreadable or fails its check is logged and moved aside.
  void LoadSpool();
  // Writes the spool now, atomically. Returns false when it could not.
  bool WriteSpool();

  // The status object's reply: compact JSON. Short locks only.
  std::string StatusJson();

  // Wait before the attempt after `failures` consecutive failures: full
  // jitter below min(cap, period * 2^(failures-1)), never under 1/30 of it.
  static std::chrono::milliseconds Backoff(const ReporterTiming& timing, unsigned failures, double unit_random);

 private:
  struct InFlight {
    std::string key;
    std::string body;
    std::vector<Waiting> readings;
  };

  void ReportThread();
  std::optional<std::string> TakeBatch();
  bool StopRequested();
  void MarkDirty();
  // Drops oldest waiting readings until at most kMaxPendingReadings are
  // pending. Mutex held.
  void TrimToBound();
  // Mutex held.
  std::string BodyOf(const std::vector<Waiting>& readings) const;
  std::string NewKey();
  void PublishLevels();
  std::string SerializeSpool();
  bool ParseSpool(const std::string& text, std::string& why);
  std::chrono::milliseconds AfterFailure(const UploadResult& result);
  void NoteAttempt(const UploadResult& result);

  // Under mutex_.
  std::unordered_map<std::string, std::vector<uint32_t>> index_;
  std::vector<std::unique_ptr<DataQueue>> queues_;
  std::vector<std::string> queue_nodes_;  // device id of each queue
  std::deque<Waiting> waiting_;
  std::optional<InFlight> in_flight_;
  size_t batch_limit_ = kMaxBatchReadings;
  size_t dropped_ = 0;
  std::mutex mutex_;

  std::atomic<bool> running_{false};
  std::thread thread_;

  // Under wake_lock_.
  std::mutex wake_lock_;
  std::condition_variable wake_;
  bool stop_requested_ = false;
  bool dirty_ = false;

  // Fixed before Start.
  ReporterTiming timing_;
  std::string spool_path_;
  std::string version_;
  std::chrono::steady_clock::time_point started_;

  // Report thread only.
  unsigned failures_ = 0;
  std::chrono::steady_clock::time_point next_spool_{};
  std::mt19937_64 random_;

  // Read by the status object.
  struct Counters {
    std::atomic<uint64_t> admitted{0}, thinned{0}, delivered{0}, dropped_bound{0}, dropped_refused{0},
        dropped_unconfigured{0}, attempts{0};
    std::array<std::atomic<uint64_t>, static_cast<size_t>(FailureClass::kPlainHttp) + 1> failures{};
    std::atomic<size_t> waiting{0}, in_flight{0};
    std::atomic<int64_t> oldest_admitted{-1};
    std::atomic<int64_t> next_attempt_ms{0};  // steady clock
    std::atomic<int64_t> last_success{-1};
    std::atomic<int64_t> spool_size{-1}, spool_written{-1};
  } counters_;
  std::mutex status_lock_;
  nlohmann::json last_attempt_;  // under status_lock_
};

// A spool file's content: the header line (format, size and 64-bit FNV-1a
// checksum of the payload) followed by the payload.
std::string SealSpool(const std::string& payload);

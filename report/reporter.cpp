#include "reporter.h"

#include <chrono>

#include "log/log.h"
#include "upload.h"

Reporter::~Reporter() {
  if (thread_.joinable()) Stop();
}

void Reporter::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(wake_lock_);
    stop_requested_ = false;
  }
  thread_ = std::thread(&Reporter::ReportThread, this);
}

void Reporter::Stop() {
  {
    std::lock_guard<std::mutex> lock(wake_lock_);
    stop_requested_ = true;
    running_.store(false);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Reporter::StopRequested() {
  std::lock_guard<std::mutex> lock(wake_lock_);
  return stop_requested_;
}

void Reporter::ReportThread() {
  LOG_VERB << "";
  {
    // A Stop that came before this point must not be undone.
    std::lock_guard<std::mutex> lock(wake_lock_);
    if (!stop_requested_) running_.store(true);
  }
  while (running_.load()) {
    try {
      ReportCycle();
    } catch (const std::exception& e) {
      LOG_ERROR << e.what();
    }
    std::unique_lock<std::mutex> lock(wake_lock_);
    wake_.wait_for(lock, std::chrono::seconds(kReportPeriodSeconds), [this] { return stop_requested_; });
  }
}

void Reporter::ReportCycle() {
  const std::optional<std::string> body = BuildReport();
  if (body) {
    bool delivered = true;
    try {
      delivered = ReportSensorData(*body, [this] { return StopRequested(); });
    } catch (const std::exception& e) {
      // Out of memory before the request was made.
      LOG_ERROR << e.what();
      delivered = false;
    }
    if (delivered) {
      ReleaseReport();
    } else {
      RequeueReport();
    }
  }
  if (const size_t dropped = TakeDroppedCount()) {
    LOG_WARN << "Report queue full : dropped " << dropped << " oldest readings";
  }
}

void Reporter::UpdateData(const std::string& device_id, const std::string& sensor_type,
                          nlohmann::json& reading) {
  std::lock_guard<std::mutex> lock(mutex_);
  DataQueue* queue = GetDataQueue(device_id, sensor_type);
  if (queue->UpdateQueue(reading)) {
    arrivals_.push_back(queue);
    TrimToBound();
  }
}

DataQueue* Reporter::GetDataQueue(const std::string& device_id, const std::string& sensor_type) {
  auto node = index_.find(device_id);
  if (node == index_.end()) {
    auto queue = std::make_shared<DataQueue>(sensor_type);
    index_.emplace(device_id, std::vector<std::shared_ptr<DataQueue>>{queue});
    return queue.get();
  }
  for (const auto& queue : node->second) {
    if (queue->name == sensor_type) return queue.get();
  }
  node->second.push_back(std::make_shared<DataQueue>(sensor_type));
  return node->second.back().get();
}

std::optional<std::string> Reporter::BuildReport() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_flight_.clear();
  in_flight_arrivals_.clear();
  nlohmann::json nodes = nlohmann::json::array();
  for (const auto& [device_id, queues] : index_) {
    nlohmann::json vs = nlohmann::json::array();
    for (const auto& queue : queues) {
      std::vector<nlohmann::json> drained;
      while (!queue->pending.Empty()) {
        nlohmann::json reading = queue->pending.Pop();
        vs.push_back(reading);
        drained.push_back(std::move(reading));
      }
      if (!drained.empty()) in_flight_.emplace_back(queue.get(), std::move(drained));
    }
    if (!vs.empty()) nodes.push_back({{"id", device_id}, {"vs", std::move(vs)}});
  }
  in_flight_arrivals_.swap(arrivals_);
  if (nodes.empty()) return std::nullopt;
  const nlohmann::json report = {{"nodes", std::move(nodes)}};
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Reporter::RequeueReport() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [queue, readings] : in_flight_) {
    std::vector<nlohmann::json> newer;
    while (!queue->pending.Empty()) newer.push_back(queue->pending.Pop());
    for (auto& reading : readings) queue->pending.Push(std::move(reading));
    for (auto& reading : newer) queue->pending.Push(std::move(reading));
  }
  in_flight_.clear();
  in_flight_arrivals_.insert(in_flight_arrivals_.end(), arrivals_.begin(), arrivals_.end());
  arrivals_.swap(in_flight_arrivals_);
  in_flight_arrivals_.clear();
  TrimToBound();
}

void Reporter::ReleaseReport() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_flight_.clear();
  in_flight_arrivals_.clear();
}

void Reporter::TrimToBound() {
  while (arrivals_.size() > kMaxPendingReadings) {
    arrivals_.front()->pending.Pop();
    arrivals_.pop_front();
    ++dropped_;
  }
}

size_t Reporter::PendingCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_.size();
}

size_t Reporter::TakeDroppedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

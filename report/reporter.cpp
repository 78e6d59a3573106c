#include "reporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ipc/compact.h"
#include "log/crash.h"
#include "log/log.h"
#include "report_settings.h"
#include "version/version.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kSpoolMagic = "kelvora-report-spool 1";

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

int64_t SteadyMs(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
}

// 64-bit FNV-1a: the spool's check against truncation and stray writes.
uint64_t Checksum(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDelivered:
      return "delivered";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kTooLarge:
      return "too_large";
    case Outcome::kUnsent:
      return "unsent";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

constexpr const char* kFailureNames[] = {"none",     "resolve",  "connect",  "timeout",    "tls",
                                         "transport", "http_4xx", "http_5xx", "http_other", "plain_http"};
static_assert(std::size(kFailureNames) == static_cast<size_t>(FailureClass::kPlainHttp) + 1);

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string SealSpool(const std::string& payload) {
  char head[96];
  snprintf(head, sizeof head, "%s %zu %016" PRIx64 "\n", kSpoolMagic, payload.size(), Checksum(payload));
  return head + payload;
}

Reporter::Reporter() : started_(Clock::now()), random_(std::random_device{}()) {}

Reporter::~Reporter() {
  if (thread_.joinable()) Stop();
}

void Reporter::Configure(const ReporterTiming& timing, const std::string& spool_path, const std::string& version) {
  timing_ = timing;
  spool_path_ = spool_path;
  version_ = logging::VersionWithoutLineEnd(version);
}

void Reporter::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(wake_lock_);
    stop_requested_ = false;
  }
  started_ = Clock::now();
  thread_ = std::thread(&Reporter::ReportThread, this);
}

void Reporter::Stop() {
  {
    std::lock_guard<std::mutex> lock(wake_lock_);
    stop_requested_ = true;
    running_.store(false);
  }
  wake_.notify_all();
  const bool was_running = thread_.joinable();
  if (was_running) thread_.join();
  if (was_running && !spool_path_.empty()) WriteSpool();
}

bool Reporter::StopRequested() {
  std::lock_guard<std::mutex> lock(wake_lock_);
  return stop_requested_;
}

void Reporter::MarkDirty() {
  std::lock_guard<std::mutex> lock(wake_lock_);
  if (dirty_) return;
  dirty_ = true;
  // Only the change from clean to dirty matters to the thread's deadline.
  wake_.notify_all();
}

void Reporter::ReportThread() {
  LOG_VERB << "";
  {
    // A Stop that came before this point must not be undone.
    std::lock_guard<std::mutex> lock(wake_lock_);
    if (!stop_requested_) running_.store(true);
  }
  // The first attempt runs at once.
  Clock::time_point next_attempt = Clock::now();
  next_spool_ = Clock::now();
  counters_.next_attempt_ms.store(SteadyMs(next_attempt));
  while (running_.load()) {
    bool spool_due = false;
    {
      std::unique_lock<std::mutex> lock(wake_lock_);
      for (;;) {
        if (stop_requested_) return;
        const bool spooling = dirty_ && !spool_path_.empty();
        const Clock::time_point deadline = spooling ? std::min(next_attempt, next_spool_) : next_attempt;
        if (Clock::now() >= deadline) {
          spool_due = spooling && Clock::now() >= next_spool_;
          break;
        }
        const bool was_dirty = dirty_;
        wake_.wait_until(lock, deadline, [&] { return stop_requested_ || dirty_ != was_dirty; });
      }
    }
    if (Clock::now() >= next_attempt) {
      milliseconds wait{timing_.period};
      try {
        wait = ReportCycle();
      } catch (const std::exception& e) {
        LOG_ERROR << e.what();
      }
      next_attempt = Clock::now() + wait;
      counters_.next_attempt_ms.store(SteadyMs(next_attempt));
      spool_due = spool_due || Clock::now() >= next_spool_;
    }
    if (spool_due) {
      bool dirty;
      {
        std::lock_guard<std::mutex> lock(wake_lock_);
        dirty = dirty_;
      }
      if (dirty && !spool_path_.empty()) {
        WriteSpool();
        next_spool_ = Clock::now() + timing_.spool_interval;
      }
    }
  }
}

milliseconds Reporter::Backoff(const ReporterTiming& timing, unsigned failures, double unit_random) {
  const unsigned doublings = failures == 0 ? 0 : std::min(failures - 1, 30u);
  double ceiling = static_cast<double>(timing.period.count());
  for (unsigned i = 0; i < doublings && ceiling < static_cast<double>(timing.backoff_cap.count()); ++i) ceiling *= 2;
  ceiling = std::min(ceiling, static_cast<double>(timing.backoff_cap.count()));
  const double floor = ceiling / 30.0;
  const double wait = floor + (ceiling - floor) * std::clamp(unit_random, 0.0, 1.0);
  return milliseconds(static_cast<int64_t>(wait));
}

milliseconds Reporter::AfterFailure(const UploadResult& result) {
  ++failures_;
  if (result.retry_after >= 0) {
    const milliseconds asked(static_cast<int64_t>(result.retry_after) * 1000);
    return std::min(asked, timing_.retry_after_cap);
  }
  return Backoff(timing_, failures_, std::uniform_real_distribution<double>(0.0, 1.0)(random_));
}

void Reporter::NoteAttempt(const UploadResult& result) {
  nlohmann::json attempt = {{"time", Now()}, {"outcome", OutcomeName(result.outcome)}};
  if (result.http) {
    attempt["http_status"] = result.code;
  } else {
    attempt["error"] = result.text;
  }
  std::lock_guard<std::mutex> lock(status_lock_);
  last_attempt_ = std::move(attempt);
}

milliseconds Reporter::ReportCycle() {
  if (Settings().server_url.empty()) {
    // Nothing to upload to: the readings are dropped quietly, as configured.
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dropped = waiting_.size() + (in_flight_ ? in_flight_->readings.size() : 0);
      waiting_.clear();
      in_flight_.reset();
      PublishLevels();
    }
    if (dropped) {
      counters_.dropped_unconfigured += dropped;
      MarkDirty();
    }
    return timing_.period;
  }
  const bool fresh = InFlightKey().empty();
  const std::optional<std::string> body = BuildReport();
  milliseconds wait = timing_.period;
  if (body) {
    const std::string key = InFlightKey();
    if (fresh && running_.load() && !spool_path_.empty() && Clock::now() >= next_spool_) {
      // The key goes to the spool before the request can reach the server,
      // so that a crash during the upload does not send it again under a
      // new key.
      WriteSpool();
      next_spool_ = Clock::now() + timing_.spool_interval;
    }
    const size_t count = counters_.in_flight.load();
    UploadResult result;
    counters_.attempts++;
    try {
      result = ReportSensorData(Settings(), *body, key, [this] { return StopRequested(); });
    } catch (const std::exception& e) {
      // Out of memory before the request was made.
      LOG_ERROR << e.what();
      result.outcome = Outcome::kUnsent;
      result.failure = FailureClass::kTransport;
      result.text = e.what();
    }
    if (result.failure == FailureClass::kNone && result.outcome == Outcome::kFailed) return wait;  // stopped
    NoteAttempt(result);
    if (result.failure != FailureClass::kNone) counters_.failures[static_cast<size_t>(result.failure)]++;
    switch (result.outcome) {
      case Outcome::kDelivered:
        counters_.delivered += count;
        counters_.last_success.store(Now());
        failures_ = 0;
        ReleaseReport();
        break;
      case Outcome::kTooLarge:
        if (HalveReport()) {
          wait = milliseconds(0);
          break;
        }
        [[fallthrough]];
      case Outcome::kRefused:
        // The server answered: the link is fine, the content is not.
        counters_.dropped_refused += count;
        failures_ = 0;
        ReleaseReport();
        break;
      case Outcome::kUnsent:
        RequeueReport();
        wait = AfterFailure(result);
        break;
      case Outcome::kFailed:
        wait = AfterFailure(result);
        break;
    }
  }
  if (const size_t dropped = TakeDroppedCount()) {
    LOG_WARN << "Report queue full : dropped " << dropped << " oldest readings";
  }
  return wait;
}

void Reporter::UpdateData(const std::string& device_id, const std::string& sensor_type,
                          const nlohmann::json& reading) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DataQueue* queue = GetDataQueue(device_id, sensor_type);
    if (!queue->UpdateQueue(reading)) {
      counters_.thinned++;
      return;
    }
    uint32_t id = 0;
    for (const uint32_t q : index_[device_id]) {
      if (queues_[q].get() == queue) id = q;
    }
    // An exact allocation: the text is never appended to.
    const std::string text = ipc::Compact(reading);
    waiting_.push_back(Waiting{id, static_cast<uint32_t>(Now()), std::string(text.data(), text.size())});
    counters_.admitted++;
    TrimToBound();
    PublishLevels();
  }
  MarkDirty();
}

DataQueue* Reporter::GetDataQueue(const std::string& device_id, const std::string& sensor_type) {
  auto& ids = index_[device_id];
  for (const uint32_t id : ids) {
    if (queues_[id]->name == sensor_type) return queues_[id].get();
  }
  ids.push_back(static_cast<uint32_t>(queues_.size()));
  queues_.push_back(std::make_unique<DataQueue>(sensor_type));
  queue_nodes_.push_back(device_id);
  return queues_.back().get();
}

std::string Reporter::BodyOf(const std::vector<Waiting>& readings) const {
  // Readings of a node grouped by sensor type in the order the types first
  // appeared, oldest first within a type; nodes in the index's order.
  std::vector<std::vector<const Waiting*>> by_queue(queues_.size());
  for (const Waiting& w : readings) by_queue[w.queue].push_back(&w);
  std::string body = "{\"nodes\":[";
  bool first_node = true;
  for (const auto& [device_id, ids] : index_) {
    bool any = false;
    for (const uint32_t id : ids) {
      for (const Waiting* w : by_queue[id]) {
        if (!any) {
          if (!first_node) body += ',';
          first_node = false;
          body += "{\"id\":" + ipc::Compact(device_id) + ",\"vs\":[";
          any = true;
        } else {
          body += ',';
        }
        body += w->text;
      }
    }
    if (any) body += "]}";
  }
  body += "]}";
  return body;
}

std::string Reporter::NewKey() {
  // A random (version 4) UUID.
  uint64_t high = random_();
  uint64_t low = random_();
  high = (high & 0xffffffffffff0fffull) | 0x0000000000004000ull;
  low = (low & 0x3fffffffffffffffull) | 0x8000000000000000ull;
  const uint64_t node = low & 0xffffffffffffull;
  char text[37];
  snprintf(text, sizeof text, "%08" PRIx64 "-%04" PRIx64 "-%04" PRIx64 "-%04" PRIx64 "-%012" PRIx64, high >> 32,
           (high >> 16) & 0xffff, high & 0xffff, low >> 48, node);
  return text;
}

std::optional<std::string> Reporter::BuildReport() {
  const bool fresh = InFlightKey().empty();
  std::optional<std::string> body = TakeBatch();
  // A new report in flight (its key) is a change the spool must see.
  if (body && fresh) MarkDirty();
  return body;
}

std::optional<std::string> Reporter::TakeBatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (in_flight_) return in_flight_->body;
  if (waiting_.empty()) return std::nullopt;
  InFlight report;
  size_t bytes = 0;
  while (!waiting_.empty() && report.readings.size() < batch_limit_ &&
         (report.readings.empty() || bytes + waiting_.front().text.size() < kMaxBatchBytes)) {
    bytes += waiting_.front().text.size() + 1;
    report.readings.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
  }
  report.key = NewKey();
  report.body = BodyOf(report.readings);
  in_flight_ = std::move(report);
  PublishLevels();
  return in_flight_->body;
}

std::string Reporter::InFlightKey() {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_flight_ ? in_flight_->key : std::string();
}

void Reporter::RequeueReport() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_flight_) return;
    auto& readings = in_flight_->readings;
    for (auto it = readings.rbegin(); it != readings.rend(); ++it) waiting_.push_front(std::move(*it));
    in_flight_.reset();
    TrimToBound();
    PublishLevels();
  }
  MarkDirty();
}

void Reporter::ReleaseReport() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_flight_) return;
    in_flight_.reset();
    PublishLevels();
  }
  MarkDirty();
}

bool Reporter::HalveReport() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_flight_ || in_flight_->readings.size() < 2) return false;
    auto& readings = in_flight_->readings;
    const size_t keep = readings.size() / 2;
    for (size_t i = readings.size(); i > keep; --i) waiting_.push_front(std::move(readings[i - 1]));
    readings.resize(keep);
    batch_limit_ = std::max<size_t>(1, keep);
    in_flight_->key = NewKey();
    in_flight_->body = BodyOf(readings);
    PublishLevels();
  }
  MarkDirty();
  return true;
}

void Reporter::TrimToBound() {
  const size_t in_flight = in_flight_ ? in_flight_->readings.size() : 0;
  // The report in flight is never cut: a retry is the same request.
  while (!waiting_.empty() && waiting_.size() + in_flight > kMaxPendingReadings) {
    waiting_.pop_front();
    ++dropped_;
    counters_.dropped_bound++;
  }
}

void Reporter::PublishLevels() {
  const size_t in_flight = in_flight_ ? in_flight_->readings.size() : 0;
  counters_.waiting.store(waiting_.size() + in_flight);
  counters_.in_flight.store(in_flight);
  int64_t oldest = -1;
  if (in_flight_ && !in_flight_->readings.empty()) {
    oldest = in_flight_->readings.front().admitted_at;
  }
  if (!waiting_.empty() && (oldest < 0 || waiting_.front().admitted_at < oldest)) {
    oldest = waiting_.front().admitted_at;
  }
  counters_.oldest_admitted.store(oldest);
}

size_t Reporter::PendingCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size() + (in_flight_ ? in_flight_->readings.size() : 0);
}

size_t Reporter::TakeDroppedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

// --- spool ---------------------------------------------------------------------
//
// "kelvora-report-spool 1 <payload bytes> <checksum>\n" and the payload:
//   Q [device_id, sensor_type, last_ts]   one line per queue, in id order
//   F <key>                               the report in flight, then its
//   f <queue> <admitted_at> <reading>     readings
//   W <queue> <admitted_at> <reading>     the waiting readings, oldest first

std::string Reporter::SerializeSpool() {
  std::string payload;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    payload.reserve(64 * queues_.size() + 64 * (waiting_.size() + counters_.in_flight.load()));
    for (size_t id = 0; id < queues_.size(); ++id) {
      payload += "Q " + ipc::Compact(nlohmann::json::array({queue_nodes_[id], queues_[id]->name, queues_[id]->last_ts})) +
                 "\n";
    }
    auto add = [&payload](char tag, const Waiting& w) {
      payload += tag;
      payload += ' ' + std::to_string(w.queue) + ' ' + std::to_string(w.admitted_at) + ' ';
      payload += w.text;
      payload += '\n';
    };
    if (in_flight_) {
      payload += "F " + in_flight_->key + "\n";
      for (const Waiting& w : in_flight_->readings) add('f', w);
    }
    for (const Waiting& w : waiting_) add('W', w);
    std::lock_guard<std::mutex> wake(wake_lock_);
    dirty_ = false;
  }
  return SealSpool(payload);
}

bool Reporter::WriteSpool() {
  if (spool_path_.empty()) return false;
  const std::string text = SerializeSpool();
  const std::string temporary = spool_path_ + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ENOENT && mkdir(DirectoryOf(spool_path_).c_str(), 0700) == 0) {
    // The spool's own directory was missing (its parent is not).
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  bool ok = fd >= 0 && logging::WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), spool_path_.c_str()) != 0) ok = false;
  if (!ok) {
    LOG_ERROR << "Spool not written : " << spool_path_ << " : " << strerror(errno ? errno : error);
    unlink(temporary.c_str());
    MarkDirty();
    return false;
  }
  // The rename itself is durable only once the directory is.
  const int dir = open(DirectoryOf(spool_path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  counters_.spool_size.store(static_cast<int64_t>(text.size()));
  counters_.spool_written.store(Now());
  return true;
}

bool Reporter::ParseSpool(const std::string& text, std::string& why) {
  const size_t head_end = text.find('\n');
  if (head_end == std::string::npos) {
    why = "no header";
    return false;
  }
  const std::string head = text.substr(0, head_end);
  const std::string magic = kSpoolMagic;
  size_t size = 0;
  uint64_t sum = 0;
  char extra = 0;
  if (head.compare(0, magic.size(), magic) != 0 ||
      sscanf(head.c_str() + magic.size(), " %zu %" SCNx64 "%c", &size, &sum, &extra) != 2) {
    why = "not a spool";
    return false;
  }
  const std::string payload = text.substr(head_end + 1);
  if (payload.size() != size) {
    why = "truncated (" + std::to_string(payload.size()) + " of " + std::to_string(size) + " bytes)";
    return false;
  }
  if (Checksum(payload) != sum) {
    why = "checksum mismatch";
    return false;
  }

  std::unordered_map<std::string, std::vector<uint32_t>> index;
  std::vector<std::unique_ptr<DataQueue>> queues;
  std::vector<std::string> nodes;
  std::deque<Waiting> waiting;
  std::optional<InFlight> in_flight;
  std::istringstream lines(payload);
  std::string line;
  size_t number = 0;
  try {
    while (std::getline(lines, line)) {
      ++number;
      if (line.size() < 2 || line[1] != ' ') throw std::invalid_argument("bad line");
      // The writer escapes every control character; the JSON parser would
      // take a NUL for the end of a reading that the report then carries.
      if (line.find('\0') != std::string::npos) throw std::invalid_argument("NUL byte");
      const char tag = line[0];
      const std::string rest = line.substr(2);
      if (tag == 'Q') {
        const nlohmann::json q = nlohmann::json::parse(rest);
        const std::string device_id = q.at(0).get<std::string>();
        index[device_id].push_back(static_cast<uint32_t>(queues.size()));
        queues.push_back(std::make_unique<DataQueue>(q.at(1).get<std::string>()));
        // A conversion of a number out of range would be undefined.
        const nlohmann::json& last_ts = q.at(2);
        if (!last_ts.is_number_unsigned() || last_ts.get<uint64_t>() > UINT32_MAX) {
          throw std::invalid_argument("bad last ts");
        }
        queues.back()->last_ts = last_ts.get<uint32_t>();
        nodes.push_back(device_id);
      } else if (tag == 'F') {
        if (in_flight || !waiting.empty()) throw std::invalid_argument("misplaced report");
        in_flight = InFlight{rest, "", {}};
      } else if (tag == 'f' || tag == 'W') {
        unsigned long queue = 0;
        unsigned long admitted = 0;
        int used = 0;
        if (sscanf(rest.c_str(), "%lu %lu %n", &queue, &admitted, &used) != 2 || queue >= queues.size()) {
          throw std::invalid_argument("bad reading");
        }
        const std::string reading = rest.substr(static_cast<size_t>(used));
        if (!nlohmann::json::parse(reading).is_object()) throw std::invalid_argument("reading not an object");
        Waiting w{static_cast<uint32_t>(queue), static_cast<uint32_t>(admitted), reading};
        if (tag == 'f') {
          if (!in_flight || !waiting.empty()) throw std::invalid_argument("misplaced reading");
          in_flight->readings.push_back(std::move(w));
        } else {
          waiting.push_back(std::move(w));
        }
      } else {
        throw std::invalid_argument("unknown line");
      }
    }
  } catch (const std::exception& e) {
    why = "line " + std::to_string(number) + " : " + e.what();
    return false;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  index_ = std::move(index);
  queues_ = std::move(queues);
  queue_nodes_ = std::move(nodes);
  waiting_ = std::move(waiting);
  in_flight_ = std::move(in_flight);
  if (in_flight_ && in_flight_->readings.empty()) in_flight_.reset();
  if (in_flight_) in_flight_->body = BodyOf(in_flight_->readings);
  TrimToBound();
  PublishLevels();
  return true;
}

void Reporter::LoadSpool() {
  if (spool_path_.empty()) return;
  std::ifstream file(spool_path_, std::ios::binary);
  if (!file) return;
  std::ostringstream content;
  content << file.rdbuf();
  file.close();
  std::string why;
  if (!ParseSpool(content.str(), why)) {
    const std::string aside = spool_path_ + ".bad";
    rename(spool_path_.c_str(), aside.c_str());
    LOG_ERROR << "Spool unreadable : " << why << " : moved to " << aside;
    return;
  }
  const size_t pending = PendingCount();
  LOG_INFO << "Spool read : " << pending << " readings waiting";
  if (const size_t dropped = TakeDroppedCount()) {
    LOG_WARN << "Report queue full : dropped " << dropped << " oldest readings";
  }
}

// --- status ----------------------------------------------------------------------

std::string Reporter::StatusJson() {
  const int64_t now = Now();
  const ReportSettings& settings = Settings();
  nlohmann::json failures = nlohmann::json::object();
  for (size_t i = 1; i < counters_.failures.size(); ++i) failures[kFailureNames[i]] = counters_.failures[i].load();
  const int64_t oldest = counters_.oldest_admitted.load();
  const int64_t last_success = counters_.last_success.load();
  const int64_t next_ms = counters_.next_attempt_ms.load() - SteadyMs(Clock::now());
  const int64_t spool_size = counters_.spool_size.load();
  const int64_t spool_written = counters_.spool_written.load();
  nlohmann::json last_attempt;
  {
    std::lock_guard<std::mutex> lock(status_lock_);
    last_attempt = last_attempt_;
  }
  const nlohmann::json status = {
      {"version", version_},
      {"uptime", std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count()},
      {"url", UrlWithoutCredentials(settings.server_url)},
      {"tls_verify", settings.verify_tls},
      {"waiting", counters_.waiting.load()},
      {"in_flight", counters_.in_flight.load()},
      {"oldest_waiting_age", oldest < 0 ? 0 : std::max<int64_t>(0, now - oldest)},
      {"last_attempt", last_attempt},
      {"last_success", last_success < 0 ? nlohmann::json(nullptr) : nlohmann::json(last_success)},
      {"next_attempt", running_.load() ? std::max<int64_t>(0, (next_ms + 999) / 1000) : 0},
      {"admitted", counters_.admitted.load()},
      {"thinned", counters_.thinned.load()},
      {"delivered", counters_.delivered.load()},
      {"dropped",
       {{"bound", counters_.dropped_bound.load()},
        {"refused", counters_.dropped_refused.load()},
        {"unconfigured", counters_.dropped_unconfigured.load()}}},
      {"attempts", counters_.attempts.load()},
      {"failures", failures},
      {"spool",
       {{"path", spool_path_},
        {"size", spool_size < 0 ? 0 : spool_size},
        {"last_write", spool_written < 0 ? nlohmann::json(nullptr) : nlohmann::json(spool_written)}}},
  };
  return ipc::Compact(status);
}

#include "manager/link_policy.h"

#include <algorithm>
#include <limits>

#include "events/compact.h"
#include "log/log.h"
#include "registry/registry.h"

namespace links {

namespace {

using json = nlohmann::json;

// Option `name` as a whole number of at least `min`: kept as `value` when
// present and valid, else the default stays (with a record when invalid).
void ReadNumber(const json& values, const char* name, int64_t min, int64_t max, int64_t& value) {
  const auto option = values.find(name);
  if (option == values.end()) return;
  if (option->is_string()) {
    const std::string text = option->get<std::string>();
    try {
      size_t used = 0;
      const long long number = std::stoll(text, &used, 10);
      if (used == text.size() && number >= min && number <= max) {
        value = number;
        return;
      }
    } catch (const std::exception&) {
    }
  }
  LOG_ERROR << "Option " << name << " is not a number from " << min << " to " << max << " : "
            << events::Compact(*option);
}

bool ReadFlag(const json& values, const char* name, bool fallback) {
  const auto option = values.find(name);
  if (option == values.end()) return fallback;
  if (option->is_string()) {
    const std::string text = option->get<std::string>();
    if (text == "1" || text == "yes" || text == "on" || text == "true" || text == "enabled") return true;
    if (text == "0" || text == "no" || text == "off" || text == "false" || text == "disabled") return false;
  }
  LOG_ERROR << "Option " << name << " is not a boolean : " << events::Compact(*option);
  return fallback;
}

}  // namespace

Settings ParseSettings(const json& values) {
  Settings settings;
  if (!values.is_object()) return settings;
  constexpr int64_t kDay = 86400;
  int64_t node_timeout = settings.node_timeout.count();
  int64_t quiet = settings.scan_quiet.count();
  int64_t pause = settings.scan_pause.count();
  int64_t steps = settings.scan_steps;
  int64_t hour = settings.scan_hour.count();
  ReadNumber(values, "node_timeout", 0, kDay, node_timeout);
  ReadNumber(values, "scan_quiet", 1, kDay, quiet);
  ReadNumber(values, "scan_pause", 1, kDay, pause);
  ReadNumber(values, "scan_steps", 0, 1000, steps);
  ReadNumber(values, "scan_hour", 1, kDay, hour);
  settings.node_timeout = seconds(node_timeout);
  settings.scan_quiet = seconds(quiet);
  settings.scan_pause = seconds(pause);
  settings.scan_pause_max = std::max(settings.scan_pause, seconds(hour / 2));
  settings.scan_steps = static_cast<unsigned>(steps);
  settings.scan_hour = seconds(hour);
  settings.clock_trusted = ReadFlag(values, "clock_trusted", false);
  return settings;
}

Settings LoadSettings() { return ParseSettings(UCIGet("tavrin", "sys")); }

ConnectFailure ClassifyConnectError(const std::string& name, const std::string& message) {
  if (message.find("le-connection-abort-by-local") != std::string::npos) return ConnectFailure::kAborted;
  if (name == "org.bluez.Error.InProgress") return ConnectFailure::kInProgress;
  if (name == "org.bluez.Error.NotReady") return ConnectFailure::kNotReady;
  if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout") {
    return ConnectFailure::kTimeout;
  }
  if (name == "org.bluez.Error.Failed") return ConnectFailure::kFailed;
  return ConnectFailure::kOther;
}

const char* ConnectFailureName(ConnectFailure failure) {
  switch (failure) {
    case ConnectFailure::kInProgress: return "in progress";
    case ConnectFailure::kFailed: return "failed";
    case ConnectFailure::kNotReady: return "not ready";
    case ConnectFailure::kTimeout: return "no answer";
    case ConnectFailure::kAborted: return "aborted";
    case ConnectFailure::kOther: return "refused";
  }
  return "refused";
}

bool Retryable(ConnectFailure failure) { return failure != ConnectFailure::kOther; }

milliseconds Backoff(unsigned retry, std::mt19937& random) {
  int64_t pause = kBackoffFirst.count();
  for (unsigned i = 1; i < retry && pause < kBackoffMax.count(); ++i) pause *= 2;
  pause = std::min<int64_t>(pause, kBackoffMax.count());
  std::uniform_int_distribution<int64_t> spread(-pause / 4, pause / 4);
  return milliseconds(pause + spread(random));
}

ScanWatchdog::ScanWatchdog(const Settings& settings, Clock::time_point now)
    : settings_(settings), last_activity_(now), next_step_(now), pause_(settings.scan_pause) {}

void ScanWatchdog::Activity(Clock::time_point now) {
  last_activity_ = now;
  next_step_ = now;
  steps_in_spell_ = 0;
  restarted_ = false;
  power_cycled_ = false;
  cap_reached_ = false;
  pause_ = settings_.scan_pause;
}

seconds ScanWatchdog::QuietFor(Clock::time_point now) const {
  return std::chrono::duration_cast<seconds>(now - last_activity_);
}

Clock::time_point ScanWatchdog::NextCheck() const {
  Clock::time_point due = std::max(last_activity_ + settings_.scan_quiet, next_step_);
  if (!recent_.empty() && recent_.size() >= settings_.scan_steps) due = std::max(due, recent_.front() + settings_.scan_hour);
  return due;
}

ScanWatchdog::Step ScanWatchdog::Check(Clock::time_point now, bool missing, bool links_up) {
  if (!missing) {
    // Nothing to find: a quiet discovery is no fault.
    Activity(now);
    return Step::kNone;
  }
  if (now - last_activity_ < settings_.scan_quiet || now < next_step_) return Step::kNone;
  while (!recent_.empty() && now - recent_.front() >= settings_.scan_hour) recent_.pop_front();
  if (recent_.size() >= settings_.scan_steps) {
    cap_reached_ = true;
    return Step::kNone;
  }
  recent_.push_back(now);
  next_step_ = now + pause_;
  pause_ = std::min(pause_ * 2, settings_.scan_pause_max);
  ++steps_in_spell_;
  // Restart discovery once, then power cycle from then on.
  if (!restarted_ || links_up) {
    first_of_kind_ = !restarted_;
    restarted_ = true;
    return Step::kRestartDiscovery;
  }
  first_of_kind_ = !power_cycled_;
  power_cycled_ = true;
  return Step::kPowerCycle;
}

}  // namespace links

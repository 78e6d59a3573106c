#include "manager/link_policy.h"

#include <algorithm>
#include <limits>

#include "log/log.h"
#include "registry/registry.h"

namespace links {

namespace {

using uci::Declare;
using Type = uci::OptionType;
constexpr long long kDay = 86400;

constexpr uci::Option<Settings> kSysRows[] = {
    Declare("node_timeout", Type::kNumber, "600", &Settings::node_timeout, 0, kDay),
    Declare("scan_quiet", Type::kNumber, "90", &Settings::scan_quiet, 1, kDay),
    Declare("scan_pause", Type::kNumber, "60", &Settings::scan_pause, 1, kDay),
    Declare("scan_steps", Type::kNumber, "4", &Settings::scan_steps, 0, 1000),
    Declare("scan_hour", Type::kNumber, "3600", &Settings::scan_hour, 1, kDay),
    Declare("clock_trusted", Type::kFlag, "0", &Settings::clock_trusted),
};

}  // namespace

const uci::OptionTable<Settings> kSysOptions{kSysRows, uci::NonString::kIgnored};

Settings::Settings() { kSysOptions.SetDefaults(*this); }

Settings ParseSettings(const nlohmann::json& values) {
  Settings settings;
  kSysOptions.Take(values, settings);
  settings.scan_pause_max = std::max(settings.scan_pause, seconds(settings.scan_hour.count() / 2));
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

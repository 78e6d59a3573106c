#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "uci/options.h"

// Decisions of the link supervision that need no bus: how a failed Connect
// is classified and paced, and when the scanner watchdog steps in.
namespace links {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Settings from section "sys" of UCI package "tavrin" (Load reads them);
// the defaults are those of kSysOptions.
struct Settings {
  Settings();

  seconds node_timeout;    // 0: silent nodes are not looked for
  bool clock_trusted;      // the router keeps time without NTP
  seconds scan_quiet;      // discovery quiet this long while a node is missing
  seconds scan_pause;      // first pause between recovery steps, doubling
  seconds scan_pause_max{1800};
  unsigned scan_steps;     // recovery steps at most per scan_hour
  seconds scan_hour;
};

// The options of section "sys" that the link supervision reads.
extern const uci::OptionTable<Settings> kSysOptions;

// Reads the options of section "sys"; a value that is not a whole number
// in range keeps the default with an error record.
Settings LoadSettings();
// The same, from the "values" of a get of section "sys".
Settings ParseSettings(const nlohmann::json& values);

enum class ConnectFailure { kInProgress, kFailed, kNotReady, kTimeout, kAborted, kOther };

// By the D-Bus error name, and the message for the abort BlueZ reports as
// "Failed".
ConnectFailure ClassifyConnectError(const std::string& name, const std::string& message);
const char* ConnectFailureName(ConnectFailure failure);
// Whether the attempt is worth repeating on the same device object.
bool Retryable(ConnectFailure failure);

// Attempts after the first before a node is given up (removed, so that
// discovery finds it afresh).
constexpr unsigned kConnectRetries = 4;
constexpr milliseconds kBackoffFirst{250};
constexpr milliseconds kBackoffMax{8000};

// Pause before retry `retry` (1 = the first): the first pause doubled per
// retry, capped, spread by +-25 % so that nodes failing together do not
// retry together.
milliseconds Backoff(unsigned retry, std::mt19937& random);

// Watches that discovery still delivers while a whitelisted node is
// missing, and picks the recovery step: restart discovery first, then power
// cycle the adapter (unless nodes are connected). Pauses between steps
// grow; at most `scan_steps` per `scan_hour`.
class ScanWatchdog {
 public:
  enum class Step { kNone, kRestartDiscovery, kPowerCycle };

  explicit ScanWatchdog(const Settings& settings, Clock::time_point now = Clock::now());

  // Discovery delivered something (a device announced, a device property).
  void Activity(Clock::time_point now);
  // Called periodically; `missing` tells whether a whitelisted node has no
  // session. The step to take now, if any. A power cycle drops every link,
  // so while `links_up` (a node is connected) discovery is only restarted.
  Step Check(Clock::time_point now, bool missing, bool links_up = false);

  // Whether the cap stopped a step in this quiet spell (to log it once).
  bool CapReached() const { return cap_reached_; }
  // Whether the step returned last was the first of its kind since
  // discovery last delivered (each step is logged once per spell).
  bool FirstOfItsKind() const { return first_of_kind_; }
  // Whether steps were taken since discovery last delivered.
  bool Recovering() const { return steps_in_spell_ > 0; }
  seconds QuietFor(Clock::time_point now) const;
  // The earliest time at which Check, with a node missing, may take a step
  // or meet the cap, unless discovery delivers before.
  Clock::time_point NextCheck() const;
  Clock::time_point LastActivity() const { return last_activity_; }

 private:
  Settings settings_;
  Clock::time_point last_activity_;
  Clock::time_point next_step_;
  seconds pause_;
  unsigned steps_in_spell_ = 0;
  bool restarted_ = false;
  bool power_cycled_ = false;
  bool first_of_kind_ = false;
  bool cap_reached_ = false;
  std::deque<Clock::time_point> recent_;  // steps within the last scan_hour
};

}  // namespace links

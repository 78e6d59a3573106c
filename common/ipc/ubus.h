#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <libubus.h>

namespace ipc {

// Receives a compact JSON text valid only during the call, or nullptr when
// the message could not be rendered.
using CallbackHandler = std::function<void(const char*)>;

// Pause between reconnect attempts of a server loop that lost the bus: the
// first attempt is made at once, then the pause doubles from the first value
// up to the cap.
constexpr std::chrono::milliseconds kReconnectFirstPause{100};
constexpr std::chrono::milliseconds kReconnectMaxPause{1500};

// True when no server loop of this process is away from the bus and the last
// one to come back did so at least `settle` ago. The listeners of other
// processes lose the bus at the same moment and reconnect on the same
// schedule, so after kReconnectMaxPause they are back as well.
bool ListenerSettled(std::chrono::milliseconds settle);

// One bus connection: sends events, calls methods synchronously and runs the
// bus event loop on a thread of its own. Every operation fails cleanly
// (false, no loop) when the connection could not be made.
class UBUS {
 public:
  explicit UBUS(int timeout_seconds);
  virtual ~UBUS();
  UBUS(const UBUS&) = delete;
  UBUS& operator=(const UBUS&) = delete;

  // Sends the event `id` with the JSON object `json` as its payload.
  bool Event(const char* id, const std::string& json);
  // Calls `method` of `object` with the JSON object `json` (empty: an empty
  // table) and passes each reply's data, as JSON, to `handler`.
  bool Call(const char* object, const char* method, const std::string& json, CallbackHandler handler);
  // False when the connection could not be made or, for a server loop's
  // connection, while it is lost.
  bool Connected() const;

  // Starts the server loop unless one runs or has not been joined yet.
  virtual void ServerStart();
  // Ends the server loop (any uloop of the process) and joins its thread.
  virtual void ServerStop();

 protected:
  // Run on the server thread, under the bus lock, once a lost connection is
  // made again; false makes the attempt count as failed.
  virtual bool Resubscribe();

  void ServerLoop();
  // Reconnects with a growing pause until it succeeds or a stop is requested;
  // the loss itself is logged where it is noticed.
  void Reconnect();

  std::thread server_thread;
  int timeout_ms;
  std::atomic<bool> loop_running;
  ubus_context* context;
  blob_buf* buffer;
  // False from a loss of the connection until it is made again.
  std::atomic<bool> link_up;
  // Attempts since the object was made (a test's view of the pacing).
  std::atomic<unsigned> reconnect_attempts;
};

// Subscribes to events and hands each one, as JSON, to the handler filed
// under the event name's key.
struct PublishedObject;

class UBUSListener : public UBUS {
 public:
  // A method of a read-only object: takes no argument and replies with the
  // JSON object the function returns. Runs on the server thread.
  using ObjectMethod = std::function<std::string()>;

  explicit UBUSListener(int timeout_seconds);
  ~UBUSListener() override;

  // Publishes the object `name` with `methods` on this connection; the
  // library publishes it again after a reconnect. Call before ServerStart.
  bool AddObject(const std::string& name, std::vector<std::pair<std::string, ObjectMethod>> methods);

  // Subscribes to `pattern` and files `handler` under its key; a handler
  // already filed under that key stays.
  bool RegisterEventHandler(const char* pattern, CallbackHandler handler);
  // Drops the handler of `pattern`; the subscription itself stays.
  void UnregisterEventHandler(const char* pattern);

 protected:
  void Dispatch(ubus_context* ctx, ubus_event_handler* ev, const char* type, blob_attr* msg);
  // The bus forgets a client's event registrations with its connection.
  bool Resubscribe() override;

  ubus_event_handler event_handler;
  std::unordered_map<uint32_t, CallbackHandler> handlers;
  std::mutex handlers_lock;
  // Every pattern registered on the bus, to register again after a reconnect;
  // guarded by the bus lock.
  std::vector<std::string> patterns;
  std::vector<std::unique_ptr<PublishedObject>> objects;
};

}  // namespace ipc

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include <libubus.h>

namespace ipc {

// Receives a compact JSON text valid only during the call, or nullptr when
// the message could not be rendered.
using CallbackHandler = std::function<void(const char*)>;

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

  // Starts the server loop unless one runs or has not been joined yet.
  virtual void ServerStart();
  // Ends the server loop (any uloop of the process) and joins its thread.
  virtual void ServerStop();

 protected:
  void ServerLoop();

  std::thread server_thread;
  int timeout_ms;
  std::atomic<bool> loop_running;
  ubus_context* context;
  blob_buf* buffer;
};

// Subscribes to events and hands each one, as JSON, to the handler filed
// under the event name's key.
class UBUSListener : public UBUS {
 public:
  explicit UBUSListener(int timeout_seconds);
  ~UBUSListener() override;

  // Subscribes to `pattern` and files `handler` under its key; a handler
  // already filed under that key stays.
  bool RegisterEventHandler(const char* pattern, CallbackHandler handler);
  // Drops the handler of `pattern`; the subscription itself stays.
  void UnregisterEventHandler(const char* pattern);

 protected:
  void Dispatch(ubus_context* ctx, ubus_event_handler* ev, const char* type, blob_attr* msg);

  ubus_event_handler event_handler;
  std::unordered_map<uint32_t, CallbackHandler> handlers;
  std::mutex handlers_lock;
};

}  // namespace ipc

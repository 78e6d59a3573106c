#include "ipc/ubus.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

// The platform's libubox headers carry no C++ linkage guards.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
}

#include "ipc/fnv.h"
#include "log/log.h"

namespace ipc {
namespace {

// Process-wide state shared by all objects.
std::function<void(ubus_context*, ubus_event_handler*, const char*, blob_attr*)> event_slot;
std::function<void(ubus_request*, int, blob_attr*)> reply_slot;

// libubus keeps one message buffer for the whole process and uloop is one
// loop per process: every use of either from here, and every dispatch of the
// server loop, holds this lock. Recursive, so that a handler running on the
// server thread may still send an event or make a call.
std::recursive_mutex bus_lock;

// Stop request of the server loop and the descriptor that wakes its wait.
// The library's cancel flag alone is not enough: uloop_run_timeout clears it
// on entry, and a flag set while the loop waits does not end the wait.
std::atomic<bool> stop_requested{false};
int wake_fd = -1;
std::once_flag wake_once;
uloop_fd waker{};

// libubus's own handlers of the connection's socket and pending timer,
// wrapped so that the server thread dispatches under bus_lock.
uloop_fd_handler socket_handler = nullptr;
uloop_timeout_handler pending_handler = nullptr;

using Text = std::unique_ptr<char, decltype(&free)>;

void EventCallback(ubus_context* ctx, ubus_event_handler* ev, const char* type, blob_attr* msg) {
  event_slot(ctx, ev, type, msg);
}

void ReplyCallback(ubus_request* req, int type, blob_attr* msg) { reply_slot(req, type, msg); }

void LockedSocketHandler(uloop_fd* fd, unsigned int events) {
  std::lock_guard<std::recursive_mutex> lock(bus_lock);
  socket_handler(fd, events);
}

void LockedPendingHandler(uloop_timeout* timeout) {
  std::lock_guard<std::recursive_mutex> lock(bus_lock);
  pending_handler(timeout);
}

void OnWake(uloop_fd* fd, unsigned int) {
  uint64_t count = 0;
  while (read(fd->fd, &count, sizeof(count)) > 0) {
  }
  uloop_end();
}

void InitWaker() {
  std::call_once(wake_once, [] { wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); });
}

// Makes the server loop return from its wait; it then checks the stop
// request and picks up timeouts added from other threads.
void WakeLoop() {
  InitWaker();
  if (wake_fd < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = write(wake_fd, &one, sizeof(one));
  (void)ignored;
}

}  // namespace

UBUS::UBUS(int timeout_seconds)
    : timeout_ms(timeout_seconds * 1000),
      loop_running(false),
      context(nullptr),
      buffer(new blob_buf{}) {
  std::lock_guard<std::recursive_mutex> lock(bus_lock);
  context = ubus_connect(nullptr);
}

UBUS::~UBUS() {
  // A loop still running would use the connection freed below.
  if (server_thread.joinable()) UBUS::ServerStop();
  std::lock_guard<std::recursive_mutex> lock(bus_lock);
  blob_buf_free(buffer);
  delete buffer;
  if (context) ubus_free(context);
}

bool UBUS::Event(const char* id, const std::string& json) {
  if (!id || json.empty()) return false;

  blob_buf_init(buffer, 0);
  if (!blobmsg_add_json_from_string(buffer, json.c_str())) {
    LOG_ERROR << "Failed to parse message data : " << json;
    return false;
  }
  if (!context) return false;

  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    result = ubus_send_event(context, id, buffer->head);
  }
  if (loop_running) WakeLoop();
  return result == 0;
}

bool UBUS::Call(const char* object, const char* method, const std::string& json, CallbackHandler handler) {
  blob_buf_init(buffer, 0);
  if (!json.empty() && !blobmsg_add_json_from_string(buffer, json.c_str())) {
    LOG_ERROR << "Failed to parse message data";
    return false;
  }

  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    uint32_t id = 0;
    if (!context || !object || ubus_lookup_id(context, object, &id) != 0) {
      LOG_ERROR << "lookup_id";
      return false;
    }
    if (!method) {
      result = UBUS_STATUS_INVALID_ARGUMENT;
    } else {
      reply_slot = [this, handler](ubus_request*, int, blob_attr* msg) {
        (void)this;
        Text text(blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1), &free);
        if (handler) handler(text.get());
      };
      result = ubus_invoke_fd(context, id, method, buffer->head, ReplyCallback, nullptr, timeout_ms, -1);
    }
  }
  if (loop_running) WakeLoop();

  if (result == 0) return true;
  LOG_ERROR << "invoke " << ubus_strerror(result) << " p:" << object << " m:" << (method ? method : "")
            << " arg:" << json;
  return false;
}

void UBUS::ServerStart() {
  if (loop_running || server_thread.joinable()) return;
  if (!context) return;
  InitWaker();
  if (wake_fd < 0) return;
  stop_requested = false;
  server_thread = std::thread(&UBUS::ServerLoop, this);
}

void UBUS::ServerStop() {
  stop_requested = true;
  __atomic_store_n(&uloop_cancelled, true, __ATOMIC_SEQ_CST);
  WakeLoop();
  if (server_thread.joinable() && server_thread.get_id() != std::this_thread::get_id()) server_thread.join();
}

void UBUS::ServerLoop() {
  loop_running = true;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    uloop_init();
    if (context->sock.cb != LockedSocketHandler) {
      socket_handler = context->sock.cb;
      context->sock.cb = LockedSocketHandler;
    }
    if (context->pending_timer.cb != LockedPendingHandler) {
      pending_handler = context->pending_timer.cb;
      context->pending_timer.cb = LockedPendingHandler;
    }
    uloop_fd_add(&context->sock, ULOOP_READ | ULOOP_BLOCKING);
    waker.fd = wake_fd;
    waker.cb = OnWake;
    uloop_fd_add(&waker, ULOOP_READ);
  }

  // Blocks until bus traffic or a wake-up; returns early when a signal, a
  // lost connection or the stop request ends the run.
  while (!stop_requested) {
    uloop_run_timeout(-1);
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    if (context->sock.eof && context->sock.registered) uloop_fd_delete(&context->sock);
  }

  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    uloop_fd_delete(&waker);
    uloop_fd_delete(&context->sock);
    context->sock.cb = socket_handler;
    context->pending_timer.cb = pending_handler;
    uloop_timeout_cancel(&context->pending_timer);
    uloop_done();
  }
  loop_running = false;
}

UBUSListener::UBUSListener(int timeout_seconds) : UBUS(timeout_seconds), event_handler{}, handlers() {}

UBUSListener::~UBUSListener() {
  ServerStop();
  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.clear();
}

bool UBUSListener::RegisterEventHandler(const char* pattern, CallbackHandler handler) {
  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    event_slot = [this](ubus_context* ctx, ubus_event_handler* ev, const char* type, blob_attr* msg) {
      Dispatch(ctx, ev, type, msg);
    };
    event_handler.cb = EventCallback;
    if (!context)
      result = UBUS_STATUS_CONNECTION_FAILED;
    else if (!pattern)
      result = UBUS_STATUS_INVALID_ARGUMENT;
    else
      result = ubus_register_event_handler(context, &event_handler, pattern);
  }
  if (loop_running) WakeLoop();

  if (result != 0) {
    LOG_ERROR << "Register Failed" << ubus_strerror(result);
    return false;
  }

  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.emplace(Fnv1a(pattern), std::move(handler));
  return true;
}

void UBUSListener::UnregisterEventHandler(const char* pattern) {
  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.erase(Fnv1a(pattern));
}

void UBUSListener::Dispatch(ubus_context*, ubus_event_handler*, const char* type, blob_attr* msg) {
  Text text(blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1), &free);
  std::lock_guard<std::mutex> lock(handlers_lock);
  const auto found = handlers.find(Fnv1a(type));
  if (found != handlers.end()) found->second(text.get());
}

}  // namespace ipc

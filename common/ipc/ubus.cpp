#include "ipc/ubus.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
void (*default_connection_lost)(ubus_context*) = nullptr;

using Text = std::unique_ptr<char, decltype(&free)>;

// Pauses of a reconnecting server loop end early on a stop request.
std::mutex pause_lock;
std::condition_variable pause_wake;

// Since when the server loops of the process are all connected, in
// steady-clock milliseconds; -1 while one is away.
std::atomic<int64_t> listener_up_since{0};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The library prints doubles with "%lf", six decimals, which loses small
// values and most digits. Doubles are printed here instead: the shortest
// "%.*g" text that reads back to the same double, with ".0" appended to a
// whole number, so that it stays a JSON number that reads back as a double
// (25.0 stays "25.0", as the daemons that forward readings print it).
// Non-finite values have no JSON form and print as null. The library copies
// the returned text before it asks again, so one buffer serves a whole
// rendering.
struct DoubleText {
  char text[40];
};

const char* FormatDouble(void* priv, blob_attr* attr) {
  if (blob_id(attr) != BLOBMSG_TYPE_DOUBLE) return nullptr;
  const double value = blobmsg_get_double(attr);
  if (!std::isfinite(value)) return "null";
  char* text = static_cast<DoubleText*>(priv)->text;
  const size_t size = sizeof(DoubleText::text);
  for (int precision = 1; precision <= 17; ++precision) {
    snprintf(text, size, "%.*g", precision, value);
    if (strtod(text, nullptr) == value) break;
  }
  if (!strpbrk(text, ".e")) strncat(text, ".0", size - strlen(text) - 1);
  return text;
}

// A message as compact JSON text, or null.
Text Render(blob_attr* msg) {
  DoubleText scratch;
  return Text(blobmsg_format_json_with_cb(msg, true, FormatDouble, &scratch, -1), &free);
}

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

// The library's default handler ends the loop only while the socket is still
// registered with uloop; but uloop unregisters a socket whose peer hung up
// before it runs the socket's handler, so the loop would go on without it.
void EndLoopOnLoss(ubus_context*) { uloop_end(); }

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
  // Fails only when the counter is full, and then the loop is woken already.
  if (write(wake_fd, &one, sizeof(one)) < 0) return;
}

}  // namespace

UBUS::UBUS(int timeout_seconds)
    : timeout_ms(timeout_seconds * 1000),
      loop_running(false),
      context(nullptr),
      buffer(new blob_buf{}),
      link_up(false),
      reconnect_attempts(0) {
  std::lock_guard<std::recursive_mutex> lock(bus_lock);
  context = ubus_connect(nullptr);
  link_up = context != nullptr;
}

bool UBUS::Connected() const { return link_up; }

bool ListenerSettled(std::chrono::milliseconds settle) {
  const int64_t since = listener_up_since;
  return since >= 0 && NowMs() - since >= settle.count();
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
  if (!Connected()) return false;

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
    if (!Connected() || !object || ubus_lookup_id(context, object, &id) != 0) {
      LOG_ERROR << "lookup_id";
      return false;
    }
    if (!method) {
      result = UBUS_STATUS_INVALID_ARGUMENT;
    } else {
      reply_slot = [handler](ubus_request*, int, blob_attr* msg) {
        Text text = Render(msg);
        if (!text) {
          LOG_ERROR << "Reply could not be rendered";
        }
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
  {
    std::lock_guard<std::mutex> lock(pause_lock);
    stop_requested = true;
  }
  pause_wake.notify_all();
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
    if (context->connection_lost != EndLoopOnLoss) {
      default_connection_lost = context->connection_lost;
      context->connection_lost = EndLoopOnLoss;
    }
    if (link_up) uloop_fd_add(&context->sock, ULOOP_READ | ULOOP_BLOCKING);
    waker.fd = wake_fd;
    waker.cb = OnWake;
    uloop_fd_add(&waker, ULOOP_READ);
  }

  // Blocks until bus traffic or a wake-up; returns early when a signal, a
  // lost connection (the library's connection_lost handler ends the run) or
  // the stop request ends the run.
  while (!stop_requested) {
    // Also a loop started again after it was stopped while away.
    if (!link_up) {
      Reconnect();
      continue;
    }
    uloop_run_timeout(-1);
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    if (context->sock.eof || context->sock.error) {
      if (context->sock.registered) uloop_fd_delete(&context->sock);
      // Unsettled before the link reads as lost, so nobody sees a lost link
      // that still counts as settled.
      listener_up_since = -1;
      link_up = false;
      LOG_WARN << "Lost the bus connection, reconnecting";
    }
  }

  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    uloop_fd_delete(&waker);
    uloop_fd_delete(&context->sock);
    context->sock.cb = socket_handler;
    context->pending_timer.cb = pending_handler;
    context->connection_lost = default_connection_lost;
    uloop_timeout_cancel(&context->pending_timer);
    uloop_done();
  }
  // A loop stopped while away keeps nobody waiting for it.
  if (!link_up) listener_up_since = 0;
  loop_running = false;
}

bool UBUS::Resubscribe() { return true; }

void UBUS::Reconnect() {
  listener_up_since = -1;

  std::chrono::milliseconds pause{0};
  while (!stop_requested) {
    if (pause.count() > 0) {
      std::unique_lock<std::mutex> lock(pause_lock);
      if (pause_wake.wait_for(lock, pause, [] { return stop_requested.load(); })) break;
    }
    ++reconnect_attempts;
    bool back = false;
    {
      std::lock_guard<std::recursive_mutex> lock(bus_lock);
      if (ubus_reconnect(context, nullptr) != 0) {
        // The platform's library leaves the number of a descriptor it has
        // already closed behind on some failures; the next attempt would
        // close it again, whatever it then belongs to.
        context->sock.fd = -1;
      } else if (Resubscribe()) {
        // A connection made but not resubscribed is closed by the next try.
        uloop_fd_add(&context->sock, ULOOP_READ | ULOOP_BLOCKING);
        back = true;
      }
    }
    if (back) {
      link_up = true;
      listener_up_since = NowMs();
      LOG_INFO << "Bus connection restored";
      return;
    }
    pause = pause.count() == 0 ? kReconnectFirstPause : std::min(2 * pause, kReconnectMaxPause);
  }
}

// The library hands a method handler the object it was published as; the
// wrapper's first member is that object, so the handler finds its owner.
struct ObjectLink {
  ubus_object object;
  PublishedObject* owner;
};

struct PublishedObject {
  ObjectLink link{};
  ubus_object_type type{};
  std::string name;
  std::vector<std::string> method_names;
  std::vector<ubus_method> methods;
  std::vector<UBUSListener::ObjectMethod> functions;
  blob_buf reply{};

  ~PublishedObject() { blob_buf_free(&reply); }
};

namespace {

// Runs under bus_lock: the server thread dispatches every message under it.
int ObjectHandler(ubus_context* ctx, ubus_object* obj, ubus_request_data* req, const char* method, blob_attr*) {
  PublishedObject* published = reinterpret_cast<ObjectLink*>(obj)->owner;
  for (size_t i = 0; i < published->method_names.size(); ++i) {
    if (published->method_names[i] != method) continue;
    const std::string json = published->functions[i]();
    blob_buf_init(&published->reply, 0);
    if (!blobmsg_add_json_from_string(&published->reply, json.c_str())) return UBUS_STATUS_UNKNOWN_ERROR;
    return ubus_send_reply(ctx, req, published->reply.head);
  }
  return UBUS_STATUS_METHOD_NOT_FOUND;
}

}  // namespace

UBUSListener::UBUSListener(int timeout_seconds) : UBUS(timeout_seconds), event_handler{}, handlers() {}

UBUSListener::~UBUSListener() {
  ServerStop();
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    for (const auto& published : objects)
      if (context && published->link.object.id != 0) ubus_remove_object(context, &published->link.object);
  }
  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.clear();
}

bool UBUSListener::AddObject(const std::string& name, std::vector<std::pair<std::string, ObjectMethod>> methods) {
  auto published = std::make_unique<PublishedObject>();
  published->name = name;
  for (auto& method : methods) {
    published->method_names.push_back(std::move(method.first));
    published->functions.push_back(std::move(method.second));
  }
  for (const std::string& method_name : published->method_names) {
    ubus_method method{};
    method.name = method_name.c_str();
    method.handler = ObjectHandler;
    published->methods.push_back(method);
  }
  published->type.name = published->name.c_str();
  published->type.methods = published->methods.data();
  published->type.n_methods = static_cast<int>(published->methods.size());
  ubus_object& object = published->link.object;
  object.name = published->name.c_str();
  object.type = &published->type;
  object.methods = published->methods.data();
  object.n_methods = published->type.n_methods;
  published->link.owner = published.get();

  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    result = Connected() ? ubus_add_object(context, &object) : UBUS_STATUS_CONNECTION_FAILED;
    if (result == 0) objects.push_back(std::move(published));
  }
  if (result != 0) {
    LOG_ERROR << "Failed to publish " << name << ": " << ubus_strerror(result);
    return false;
  }
  return true;
}

bool UBUSListener::RegisterEventHandler(const char* pattern, CallbackHandler handler) {
  int result;
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    event_slot = [this](ubus_context* ctx, ubus_event_handler* ev, const char* type, blob_attr* msg) {
      Dispatch(ctx, ev, type, msg);
    };
    event_handler.cb = EventCallback;
    if (!Connected())
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
  {
    std::lock_guard<std::recursive_mutex> lock(bus_lock);
    patterns.emplace_back(pattern);
  }

  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.emplace(Fnv1a(pattern), std::move(handler));
  return true;
}

void UBUSListener::UnregisterEventHandler(const char* pattern) {
  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.erase(Fnv1a(pattern));
}

bool UBUSListener::Resubscribe() {
  // ubus_reconnect has published the subscription object again under a new
  // id; the bus holds none of its patterns any more.
  for (const std::string& pattern : patterns) {
    // Not logged: the loss was, and a failure here is retried.
    if (ubus_register_event_handler(context, &event_handler, pattern.c_str()) != 0) return false;
  }
  return true;
}

void UBUSListener::Dispatch(ubus_context*, ubus_event_handler*, const char* type, blob_attr* msg) {
  Text text = Render(msg);
  std::lock_guard<std::mutex> lock(handlers_lock);
  const auto found = handlers.find(Fnv1a(type));
  if (found != handlers.end()) found->second(text.get());
}

}  // namespace ipc

// uci-service: the ubus object "uci" over the UCI files of a config
// directory, as the router's rpcd serves it.
//
//   uci-service [-c config_dir] [-d staging_dir] [-s ubus_socket]
//
// Defaults: /etc/config, /tmp/.uci, the bus's default socket; -t is the same
// as -d, as in the uci tool. SIGTERM or SIGINT ends it.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

// Before the platform headers: libubox defines a "fallthrough" macro that
// would break the JSON library's attribute checks.
#include "service.h"
#include "store.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

using ucihost::Json;

const ucihost::Service* service = nullptr;
blob_buf reply_buffer;

Json ValueOf(blob_attr* attr);

Json ContainerOf(blob_attr* attr, bool table) {
  Json out = table ? Json::object() : Json::array();
  blob_attr* cur = nullptr;
  size_t rem = 0;
  blobmsg_for_each_attr(cur, attr, rem) {
    if (!blobmsg_check_attr(cur, table)) continue;
    if (table) {
      out[blobmsg_name(cur)] = ValueOf(cur);
    } else {
      out.push_back(ValueOf(cur));
    }
  }
  return out;
}

Json ValueOf(blob_attr* attr) {
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
      return ContainerOf(attr, true);
    case BLOBMSG_TYPE_ARRAY:
      return ContainerOf(attr, false);
    case BLOBMSG_TYPE_STRING:
      return std::string(blobmsg_get_string(attr));
    case BLOBMSG_TYPE_INT8:
      return blobmsg_get_u8(attr) != 0;
    case BLOBMSG_TYPE_INT16:
      return static_cast<int16_t>(blobmsg_get_u16(attr));
    case BLOBMSG_TYPE_INT32:
      return static_cast<int32_t>(blobmsg_get_u32(attr));
    case BLOBMSG_TYPE_INT64:
      return static_cast<int64_t>(blobmsg_get_u64(attr));
    case BLOBMSG_TYPE_DOUBLE:
      return blobmsg_get_double(attr);
    default:
      return nullptr;
  }
}

// The request table, members in the order sent.
Json RequestOf(blob_attr* msg) {
  Json out = Json::object();
  blob_attr* cur = nullptr;
  size_t rem = 0;
  blob_for_each_attr(cur, msg, rem) {
    if (blobmsg_check_attr(cur, true)) out[blobmsg_name(cur)] = ValueOf(cur);
  }
  return out;
}

void AddValue(blob_buf* buffer, const char* name, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      void* cookie = blobmsg_open_table(buffer, name);
      for (const auto& [key, member] : value.items()) AddValue(buffer, key.c_str(), member);
      blobmsg_close_table(buffer, cookie);
      break;
    }
    case Json::value_t::array: {
      void* cookie = blobmsg_open_array(buffer, name);
      for (const auto& item : value) AddValue(buffer, nullptr, item);
      blobmsg_close_array(buffer, cookie);
      break;
    }
    case Json::value_t::string:
      blobmsg_add_string(buffer, name, value.get_ref<const std::string&>().c_str());
      break;
    case Json::value_t::boolean:
      blobmsg_add_u8(buffer, name, value.get<bool>() ? 1 : 0);
      break;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      blobmsg_add_u32(buffer, name, static_cast<uint32_t>(value.get<int64_t>()));
      break;
    case Json::value_t::number_float:
      blobmsg_add_double(buffer, name, value.get<double>());
      break;
    default:
      blobmsg_add_field(buffer, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0);
      break;
  }
}

int HandleMethod(ubus_context* ctx, ubus_object*, ubus_request_data* request, const char* method,
                 blob_attr* msg) {
  try {
    const ucihost::Reply reply = service->Handle(method, RequestOf(msg));
    if (reply.data) {
      blob_buf_init(&reply_buffer, 0);
      for (const auto& [key, member] : reply.data->items()) AddValue(&reply_buffer, key.c_str(), member);
      ubus_send_reply(ctx, request, reply_buffer.head);
    }
    return reply.status;
  } catch (const std::exception& e) {
    fprintf(stderr, "uci-service: %s: %s\n", method, e.what());
    return UBUS_STATUS_UNKNOWN_ERROR;
  }
}

// Member names and kinds, shown by "ubus -v list uci".
const blobmsg_policy get_policy[] = {
    {"config", BLOBMSG_TYPE_STRING}, {"section", BLOBMSG_TYPE_STRING}, {"option", BLOBMSG_TYPE_STRING},
    {"type", BLOBMSG_TYPE_STRING},   {"match", BLOBMSG_TYPE_TABLE},
};
const blobmsg_policy add_policy[] = {
    {"config", BLOBMSG_TYPE_STRING},
    {"type", BLOBMSG_TYPE_STRING},
    {"name", BLOBMSG_TYPE_STRING},
    {"values", BLOBMSG_TYPE_TABLE},
};
const blobmsg_policy set_policy[] = {
    {"config", BLOBMSG_TYPE_STRING}, {"section", BLOBMSG_TYPE_STRING}, {"type", BLOBMSG_TYPE_STRING},
    {"match", BLOBMSG_TYPE_TABLE},   {"values", BLOBMSG_TYPE_TABLE},
};
const blobmsg_policy delete_policy[] = {
    {"config", BLOBMSG_TYPE_STRING}, {"section", BLOBMSG_TYPE_STRING}, {"type", BLOBMSG_TYPE_STRING},
    {"match", BLOBMSG_TYPE_TABLE},   {"option", BLOBMSG_TYPE_STRING},  {"options", BLOBMSG_TYPE_ARRAY},
};
const blobmsg_policy rename_policy[] = {
    {"config", BLOBMSG_TYPE_STRING},
    {"section", BLOBMSG_TYPE_STRING},
    {"option", BLOBMSG_TYPE_STRING},
    {"name", BLOBMSG_TYPE_STRING},
};
const blobmsg_policy order_policy[] = {
    {"config", BLOBMSG_TYPE_STRING},
    {"sections", BLOBMSG_TYPE_ARRAY},
};
const blobmsg_policy config_policy[] = {
    {"config", BLOBMSG_TYPE_STRING},
};

ubus_method methods[] = {
    UBUS_METHOD_NOARG("configs", HandleMethod),
    UBUS_METHOD("get", HandleMethod, get_policy),
    UBUS_METHOD("add", HandleMethod, add_policy),
    UBUS_METHOD("set", HandleMethod, set_policy),
    UBUS_METHOD("delete", HandleMethod, delete_policy),
    UBUS_METHOD("rename", HandleMethod, rename_policy),
    UBUS_METHOD("order", HandleMethod, order_policy),
    UBUS_METHOD("changes", HandleMethod, config_policy),
    UBUS_METHOD("revert", HandleMethod, config_policy),
    UBUS_METHOD("commit", HandleMethod, config_policy),
};

ubus_object_type object_type = UBUS_OBJECT_TYPE("uci", methods);

ubus_object object = {};

// Bus connection loss: the default handler would end uloop_run and with it
// the service. Instead it reconnects with a growing pause (first try at once,
// capped), as procd does for its own connection. ubus_reconnect publishes the
// context's objects again; the object is added here only if it did not.
const char* socket_path = nullptr;
ubus_context* bus = nullptr;
uloop_timeout reconnect_timer = {};
int reconnect_delay_ms = 0;
constexpr int kReconnectFirstDelayMs = 100;
constexpr int kReconnectMaxDelayMs = 1500;

void TryReconnect(uloop_timeout* timer) {
  if (ubus_reconnect(bus, socket_path) != 0) {
    // Some failures leave the number of a descriptor already closed behind.
    bus->sock.fd = -1;
  } else if (object.id != 0 || ubus_add_object(bus, &object) == 0) {
    ubus_add_uloop(bus);
    reconnect_delay_ms = 0;
    fprintf(stderr, "uci-service: bus connection restored\n");
    return;
  }
  // A connection without the object is closed by the next ubus_reconnect.
  reconnect_delay_ms = reconnect_delay_ms == 0 ? kReconnectFirstDelayMs
                                               : std::min(2 * reconnect_delay_ms, kReconnectMaxDelayMs);
  uloop_timeout_set(timer, reconnect_delay_ms);
}

void OnConnectionLost(ubus_context* ctx) {
  fprintf(stderr, "uci-service: bus connection lost, reconnecting\n");
  if (ctx->sock.registered) uloop_fd_delete(&ctx->sock);
  reconnect_timer.cb = TryReconnect;
  uloop_timeout_set(&reconnect_timer, 0);
}

void Usage() { fprintf(stderr, "usage: uci-service [-c config_dir] [-d staging_dir] [-s ubus_socket]\n"); }

}  // namespace

int main(int argc, char** argv) {
  std::string config_dir = "/etc/config";
  std::string delta_dir = "/tmp/.uci";
  int opt = 0;
  while ((opt = getopt(argc, argv, "c:d:t:s:h")) != -1) {
    switch (opt) {
      case 'c':
        config_dir = optarg;
        break;
      case 'd':
      case 't':
        delta_dir = optarg;
        break;
      case 's':
        socket_path = optarg;
        break;
      default:
        Usage();
        return opt == 'h' ? 0 : 2;
    }
  }

  const ucihost::Store store(config_dir, delta_dir);
  const ucihost::Service uci_service(store, [](const std::string& error) {
    fprintf(stderr, "uci-service: %s\n", error.c_str());
  });
  service = &uci_service;

  object.name = "uci";
  object.type = &object_type;
  object.methods = methods;
  object.n_methods = sizeof(methods) / sizeof(methods[0]);

  uloop_init();
  ubus_context* ctx = ubus_connect(socket_path);
  bus = ctx;
  if (!ctx) {
    fprintf(stderr, "uci-service: cannot connect to ubus\n");
    uloop_done();
    return 1;
  }
  ubus_add_uloop(ctx);
  const int added = ubus_add_object(ctx, &object);
  if (added != 0) {
    fprintf(stderr, "uci-service: cannot add object \"uci\": %s\n", ubus_strerror(added));
    ubus_free(ctx);
    uloop_done();
    return 1;
  }
  ctx->connection_lost = OnConnectionLost;
  uloop_run();
  uloop_timeout_cancel(&reconnect_timer);
  ubus_free(ctx);
  uloop_done();
  blob_buf_free(&reply_buffer);
  return 0;
}

# The router platform's ubus libraries, chosen by KELVORA_UBUS:
#   standin  the host stand-ins from platform/ubus (libubox, libubus,
#            libblobmsg-json, ubusd and the ubus tool), for a Debian host;
#   system   the platform's own libubus, libubox and libblobmsg-json, found
#            on the search path (e.g. -DCMAKE_PREFIX_PATH=<staging dir>).
# Product code links kelvora::ubus and includes the platform's header names.
set(KELVORA_UBUS "standin" CACHE STRING "standin | system")
set_property(CACHE KELVORA_UBUS PROPERTY STRINGS standin system)

add_library(kelvora_ubus INTERFACE)
add_library(kelvora::ubus ALIAS kelvora_ubus)
if(KELVORA_UBUS STREQUAL "system")
  find_path(UBUS_INCLUDE_DIR libubus.h)
  find_library(UBUS_LIBRARY ubus)
  find_library(UBOX_LIBRARY ubox)
  find_library(BLOBMSG_JSON_LIBRARY blobmsg_json)
  if(NOT (UBUS_INCLUDE_DIR AND UBUS_LIBRARY AND UBOX_LIBRARY AND BLOBMSG_JSON_LIBRARY))
    message(FATAL_ERROR "KELVORA_UBUS=system: libubus.h, libubus, libubox or libblobmsg_json not found "
                        "(set CMAKE_PREFIX_PATH)")
  endif()
  message(STATUS "ubus: platform libraries ${UBUS_LIBRARY}")
  target_include_directories(kelvora_ubus INTERFACE ${UBUS_INCLUDE_DIR})
  target_link_libraries(kelvora_ubus INTERFACE ${UBUS_LIBRARY} ${BLOBMSG_JSON_LIBRARY} ${UBOX_LIBRARY})
  # A static libblobmsg_json does not name its json-c.
  if(BLOBMSG_JSON_LIBRARY MATCHES "\\.a$")
    find_package(json-c CONFIG REQUIRED)
    find_package(Threads REQUIRED)
    target_link_libraries(kelvora_ubus INTERFACE json-c::json-c Threads::Threads)
  endif()
elseif(KELVORA_UBUS STREQUAL "standin")
  message(STATUS "ubus: host stand-ins from platform/ubus")
  add_subdirectory(${PROJECT_SOURCE_DIR}/platform/ubus)
  target_link_libraries(kelvora_ubus INTERFACE ubus blobmsg_json ubox)
else()
  message(FATAL_ERROR "KELVORA_UBUS is \"${KELVORA_UBUS}\": standin or system")
endif()

# The stand-in for the "uci" object (rpcd's on the router): with the
# stand-ins by default, against the platform's libraries only when asked.
if(KELVORA_UBUS STREQUAL "standin")
  set(kelvora_uci_service_default ON)
else()
  set(kelvora_uci_service_default OFF)
endif()
option(KELVORA_UCI_SERVICE "Build the host stand-in of the uci object (platform/uci)" ${kelvora_uci_service_default})

# The router platform's ubus libraries: the real ones where installed
# (e.g. -DCMAKE_PREFIX_PATH=<staging dir>), the host stand-ins otherwise.
# Product code links kelvora::ubus and includes the platform's header names.
find_path(UBUS_INCLUDE_DIR libubus.h)
find_library(UBUS_LIBRARY ubus)
find_library(UBOX_LIBRARY ubox)
find_library(BLOBMSG_JSON_LIBRARY blobmsg_json)

add_library(kelvora_ubus INTERFACE)
add_library(kelvora::ubus ALIAS kelvora_ubus)
if(UBUS_INCLUDE_DIR AND UBUS_LIBRARY AND UBOX_LIBRARY AND BLOBMSG_JSON_LIBRARY)
  message(STATUS "ubus: platform libraries ${UBUS_LIBRARY}")
  target_include_directories(kelvora_ubus INTERFACE ${UBUS_INCLUDE_DIR})
  target_link_libraries(kelvora_ubus INTERFACE ${UBUS_LIBRARY} ${BLOBMSG_JSON_LIBRARY} ${UBOX_LIBRARY})
  set(KELVORA_UBUS_STANDIN OFF)
elseif(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/platform/ubus/CMakeLists.txt)
  message(STATUS "ubus: host stand-ins from platform/ubus")
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/platform/ubus)
  target_link_libraries(kelvora_ubus INTERFACE ubus blobmsg_json ubox)
  set(KELVORA_UBUS_STANDIN ON)
endif()

# nlohmann_json::nlohmann_json (version 3): from the library's CMake config
# where it is installed (Debian), else from its pkg-config file or its header
# alone (OpenWrt's nlohmannjson installs json.hpp and nlohmann_json.pc only).
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()

find_package(nlohmann_json 3 CONFIG QUIET)
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(KELVORA_NLOHMANN_JSON QUIET IMPORTED_TARGET GLOBAL "nlohmann_json >= 3")
endif()
if(TARGET PkgConfig::KELVORA_NLOHMANN_JSON)
  message(STATUS "nlohmann_json ${KELVORA_NLOHMANN_JSON_VERSION}: pkg-config")
  add_library(nlohmann_json::nlohmann_json ALIAS PkgConfig::KELVORA_NLOHMANN_JSON)
  return()
endif()

# The single header defines the version itself, the multi-header layout in
# detail/abi_macros.hpp.
find_path(KELVORA_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp)
set(kelvora_json_major "")
foreach(header json.hpp detail/abi_macros.hpp)
  set(file "${KELVORA_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann/${header}")
  if(KELVORA_NLOHMANN_JSON_INCLUDE_DIR AND kelvora_json_major STREQUAL "" AND EXISTS "${file}")
    file(STRINGS "${file}" define REGEX "^#define NLOHMANN_JSON_VERSION_MAJOR [0-9]+")
    if(define MATCHES "MAJOR ([0-9]+)")
      set(kelvora_json_major "${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()
if(NOT kelvora_json_major STREQUAL "3")
  message(FATAL_ERROR "nlohmann_json 3 not found: no CMake config, no nlohmann_json.pc and no "
                      "nlohmann/json.hpp of version 3 (found: '${KELVORA_NLOHMANN_JSON_INCLUDE_DIR}')")
endif()
message(STATUS "nlohmann_json 3: header ${KELVORA_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann/json.hpp")
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${KELVORA_NLOHMANN_JSON_INCLUDE_DIR}")

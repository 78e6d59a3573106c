# The scripts' one way to configure and build the project; sourced from the
# project's root directory.

# What a sandbox runs: the daemons, the bus stand-ins and the uci service.
SANDBOX_TARGETS=(kelvora-ble-app kelvora-report-app kelvora-mqtt-app ubusd ubus_cli uci-service)

# build_tree DIR [CMAKE_ARG...] [-- TARGET...]
# Configures DIR (RelWithDebInfo unless an argument says otherwise) and
# builds the targets, or everything when none is named; cmake --build
# decides what is out of date. Output goes to DIR.configure.log and
# DIR.build.log, whose end is printed on a failure. KELVORA_JOBS sets the
# parallel jobs (default: one per core), KELVORA_BUILD_NICE the niceness.
build_tree() {
  local dir=$1
  shift
  local configure=()
  while [[ $# -gt 0 && $1 != -- ]]; do
    configure+=("$1")
    shift
  done
  [[ ${1:-} == -- ]] && shift
  local targets=()
  [[ $# -gt 0 ]] && targets=(--target "$@")
  local jobs=${KELVORA_JOBS:-$(nproc 2>/dev/null || echo 2)}
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  nice -n "${KELVORA_BUILD_NICE:-0}" cmake --build "$dir" -j"$jobs" "${targets[@]}" >"$dir.build.log" 2>&1 \
    || { tail -n 60 "$dir.build.log"; return 1; }
}

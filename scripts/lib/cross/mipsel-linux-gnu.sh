# 32-bit little-endian MIPS with glibc (the MT7621 class of router, with
# glibc for musl): Debian's cross compiler and a sysroot of Debian's mipsel
# packages, run under qemu-user. Sourced by scripts/cross with $cache set.

# The sysroot's packages; debootstrap downloads their whole closure.
mipsel_packages=libsdbus-c++-dev,libsystemd-dev,libcurl4-openssl-dev,libmosquittopp-dev,libmosquitto-dev,libspdlog-dev,libjson-c-dev,libgtest-dev,libgmock-dev,libboost-dev,libboost-stacktrace1.74-dev,nlohmann-json3-dev
mipsel_stamp="bookworm $mipsel_packages"

cross_prepare() {
  cross_apt g++-mipsel-linux-gnu qemu-user debootstrap
  local sysroot=$cache/sysroot
  if [[ ! -f $cache/sysroot.stamp || $(cat "$cache/sysroot.stamp") != "$mipsel_stamp" ]]; then
    echo "cross: making the mipsel sysroot in $sysroot"
    rm -rf "$cache/stage" "$sysroot"
    mkdir -p "$cache"
    # --foreign stops after downloading and unpacking: nothing of mipsel runs.
    debootstrap --arch=mipsel --variant=minbase --foreign --include="$mipsel_packages" \
      bookworm "$cache/stage" "$(cross_debian_mirror)" >"$cache/debootstrap.log" 2>&1 \
      || { tail -n 20 "$cache/debootstrap.log"; return 1; }
    mkdir -p "$sysroot"
    local deb
    for deb in "$cache"/stage/var/cache/apt/archives/*.deb; do
      dpkg-deb -x "$deb" "$sysroot"
    done
    rm -rf "$cache/stage"
    # Absolute links would point into the host's own /usr/lib.
    local link target
    while IFS= read -r link; do
      target=$(readlink "$link")
      ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
    done < <(find "$sysroot" -type l -lname '/*')
    echo "$mipsel_stamp" >"$cache/sysroot.stamp"
  fi
  CROSS_TOOLCHAIN=$PWD/cmake/toolchains/mipsel-linux-gnu.cmake
  CROSS_PREFIX=$sysroot/usr
  CROSS_SYSROOT=$sysroot
  CROSS_RUN=(qemu-mipsel)
  CROSS_RUN_ENV=(QEMU_LD_PREFIX="$sysroot")
  CROSS_DAEMONS="ble;report;mqtt"
  CROSS_STRIP=mipsel-linux-gnu-strip
  CROSS_CMAKE_ARGS=(-DKELVORA_SYSROOT="$sysroot")
}

#!/usr/bin/env bash
# Sets up a fresh machine and builds the two Debian packages, quillon and
# quillon-window, from one build of the package preset with Debian's build flags.
# Prints their paths, one a line (the build's own output goes to standard error).
# Two runs on one commit give the same files: every date is the commit's, and the
# build folder starts empty each time.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build=build/package
# Where debian/control and debian/changelog are made, and the packages' trees.
work="$build/packaging"

scripts/setup.sh package >&2

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || true)"
fi
if [ -z "$SOURCE_DATE_EPOCH" ]; then
  # Not a git checkout: the newest source file's date.
  SOURCE_DATE_EPOCH="$(find . -path ./build -prune -o -type f -printf '%T@\n' |
    sort -n | tail -n 1 | cut -d. -f1)"
fi
export SOURCE_DATE_EPOCH

# Debian's flags: fortify, stack protector, relro and bindnow (PIE is the
# compiler's default), and the source folder's path left out of the binaries.
# No -g: no debug symbol package is made, and it would double the compile time.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=()
for flag in $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS); do
  [ "$flag" = -g ] || cxxflags+=("$flag")
done
ldflags="$(dpkg-buildflags --get LDFLAGS)"

rm -rf "$build"
cmake --preset package -DCMAKE_CXX_FLAGS="${cxxflags[*]}" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >&2
cmake --build --preset package -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" >&2

version="$(dpkg-parsechangelog -l "$work/debian/changelog" -S Version)"
arch="$(dpkg --print-architecture)"
debs=()
for package in quillon quillon-window; do
  tree="$root/$work/debian/$package"
  DESTDIR="$tree" cmake --install "$build" --component "$package" >&2
  # What dh_strip leaves: no symbols, no compiler notes.
  for program in "$tree"/usr/bin/*; do
    strip --remove-section=.comment --remove-section=.note "$program"
  done
  # The plugins beside them (the web monitor, TLS), as dh_strip leaves a shared object.
  plugins=()
  if [ -d "$tree/usr/lib/quillon" ]; then
    mapfile -t plugins < <(find "$tree/usr/lib/quillon" -name '*.so' | LC_ALL=C sort)
  fi
  for plugin in "${plugins[@]}"; do
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$plugin"
  done
  find "$tree" -type d -exec chmod 0755 {} +
  find "$tree" -type f -exec chmod 0644 {} +
  chmod 0755 "$tree"/usr/bin/*
  # Installed files keep their source's time, which is the checkout's.
  find "$tree" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
  mkdir -p "$tree/DEBIAN"
  for script in preinst postinst prerm postrm; do
    if [ -f "packaging/debian/$package.$script" ]; then
      install -m 0755 "packaging/debian/$package.$script" "$tree/DEBIAN/$script"
    fi
  done
  (
    cd "$work"
    rm -f "debian/$package.substvars"
    dpkg-shlibdeps -T"debian/$package.substvars" "debian/$package"/usr/bin/* "${plugins[@]}"
    dpkg-gencontrol -p"$package" -P"debian/$package" -T"debian/$package.substvars" \
      -fdebian/files
  ) >&2
  (
    cd "$tree"
    find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
      xargs -0r md5sum >DEBIAN/md5sums
  )
  deb="$build/${package}_${version}_${arch}.deb"
  dpkg-deb --root-owner-group --build "$tree" "$deb" >&2
  debs+=("$root/$deb")
done
printf '%s\n' "${debs[@]}"

#!/usr/bin/env bash
# Install and package check: installs the build into a scratch prefix, runs
# the installed krthost (which must find its library and the plug-in by
# itself), builds the out-of-tree example plug-in against the installed
# package configuration and loads it, then builds the Debian package and
# checks its contents, its dependencies and a dry-run installation.
# Usage: package_check.sh BUILD_DIR SOURCE_DIR SCRATCH_DIR
set -euo pipefail
build=$1 src=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_in() {  # TEXT WORDS WHAT
  grep -qF -- "$2" <<<"$1" || { printf '%s\n' "$1" >&2; fail "$3: \"$2\" missing"; }
}

echo "== cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in bin/krthost bin/hvr38qt-sim lib/libkrtframework.so lib/krt/plugins/libhvr38qt.so \
         include/krt/krt_device.h include/krt/pmbus_protocol.h include/krt/frame_codec.h \
         include/krt/transport.h include/krt/settings.h include/krt/memory_transport.h \
         lib/cmake/krtframework/krtframeworkConfig.cmake \
         lib/cmake/krtframework/krtframeworkConfigVersion.cmake \
         lib/cmake/krtframework/krtframeworkTargets.cmake share/doc/hvr38qt/README.md; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
if grep -rqF "$build" "$prefix/lib/cmake" ; then fail "the package configuration names the build tree"; fi

echo "== the installed krthost with its default plug-in"
out=$(cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/krthost" --cycles 1 --interval-ms 0 --query out_v)
expect_in "$out" "$prefix/lib/krt/plugins/libhvr38qt.so" "default plug-in"
expect_in "$out" "poll 1: complete" "installed krthost"
expect_in "$out" "out_v=53.5" "installed krthost"
"$prefix/bin/hvr38qt-sim" --help >/dev/null || fail "installed hvr38qt-sim"

echo "== out-of-tree example plug-in against the installed package"
cmake -S "$src/examples/minimal_plugin" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/example-configure.log" || { cat "$work/example-configure.log"; fail "configure"; }
cmake --build "$work/example" -j2 >"$work/example-build.log" || { cat "$work/example-build.log"; fail "build"; }
out=$("$prefix/bin/krthost" --plugin "$work/example/libminimal_plugin.so" --cycles 2 --interval-ms 0)
expect_in "$out" "device minimal id 1" "example plug-in"
expect_in "$out" "poll 2: complete in" "example plug-in"
expect_in "$out" "output 53.5 V, 6 modules, snapshot 9 B" "example plug-in"
cmake --install "$work/example" --prefix "$work/example-prefix" >/dev/null
[ -e "$work/example-prefix/lib/krt/plugins/libminimal_plugin.so" ] || fail "example plug-in directory"

echo "== Debian package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/deb/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "one .deb expected, got: ${debs[*]}"
deb=${debs[0]}
info=$(dpkg-deb -I "$deb")
expect_in "$info" "Package: hvr38qt" "control"
for dep in libjsoncpp25 libfmt9 libstdc++6 libc6; do expect_in "$info" "$dep" "Depends"; done
files=$(dpkg-deb -c "$deb")
for f in ./usr/bin/krthost ./usr/bin/hvr38qt-sim ./usr/lib/krt/plugins/libhvr38qt.so \
         ./usr/lib/libkrtframework.so.0 ./usr/include/krt/krt_device.h \
         ./usr/lib/cmake/krtframework/krtframeworkConfig.cmake ./usr/share/doc/hvr38qt/README.md \
         ./usr/share/doc/hvr38qt/site-example.json ./usr/lib/systemd/system/krthost.service; do
  expect_in "$files" "$f" "package contents"
done
if grep -qE '/(tests?|gtest|_deps)/|\.a$' <<<"$files"; then fail "test or static files in the package"; fi
# The unpacked tree runs as it is: krthost finds the library and plug-in.
dpkg-deb -x "$deb" "$work/root"
out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/krthost" --cycles 1 --interval-ms 0)
expect_in "$out" "$work/root/usr/lib/krt/plugins/libhvr38qt.so" "unpacked package"
expect_in "$out" "poll 1: complete" "unpacked package"
if [ "$(id -u)" = 0 ]; then
  dpkg --dry-run -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --dry-run -i"; }
else
  echo "(not root: dpkg --dry-run -i skipped)"
fi
echo "package check passed: $(basename "$deb")"

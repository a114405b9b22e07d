#!/usr/bin/env bash
# Usage: install_test.sh BUILD_DIR WORK_DIR CXX LIBRARY_TYPE
#
# Installs BUILD_DIR into WORK_DIR/prefix, builds consumer/ against it once as a CMake project
# (find_package) and once by hand with pkg-config, then runs both against the installed ewssim.
set -euo pipefail
BUILD=$1 WORK=$2 CXX=$3 TYPE=$4
HERE=$(cd "$(dirname "$0")" && pwd)
PREFIX=$WORK/prefix
fail() { echo "test_install: $*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log"

# The layout consumers rely on; internal headers and the version template stay out.
for f in include/dvews/uDvEWS.h include/dvews/DvXML.h include/dvews/uDvEWSTypes.h \
  lib/cmake/dvews/dvewsConfig.cmake lib/cmake/dvews/dvewsConfigVersion.cmake \
  lib/pkgconfig/dvews.pc bin/ewssim bin/ews; do
  [[ -e "$PREFIX/$f" ]] || fail "$f is not installed"
done
for f in DvXMLPath.h uDvEWSVersionInfo.h uDvEWSVersionInfo.h.in; do
  [[ ! -e "$PREFIX/include/dvews/$f" ]] || fail "internal header $f is installed"
done

export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
version=$(pkg-config --modversion dvews)

echo "== find_package consumer"
cmake -S "$HERE/consumer" -B "$WORK/cmake-consumer" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$PREFIX" -DDVEWS_VERSION="$version" \
  >"$WORK/cmake-consumer.log" ||
  { cat "$WORK/cmake-consumer.log"; fail "configuring the find_package consumer failed"; }
cmake --build "$WORK/cmake-consumer"

# The Qt dialog module, when it was built, has a package of its own beside dvews.
if [[ -e "$PREFIX/lib/cmake/dvews-qt/dvews-qtConfig.cmake" ]]; then
  echo "== find_package(dvews-qt) consumer"
  cmake -S "$HERE/qt_consumer" -B "$WORK/qt-consumer" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$PREFIX" -DDVEWS_VERSION="$version" \
    >"$WORK/qt-consumer.log" ||
    { cat "$WORK/qt-consumer.log"; fail "configuring the dvews-qt consumer failed"; }
  cmake --build "$WORK/qt-consumer"
  QT_QPA_PLATFORM=offscreen "$WORK/qt-consumer/qt_consumer" || fail "the dvews-qt consumer failed"
fi

echo "== pkg-config consumer"
static=()
[[ $TYPE == STATIC_LIBRARY ]] && static=(--static)
read -r -a flags <<<"$(pkg-config "${static[@]}" --cflags --libs dvews)"
libdir=$(pkg-config --variable=libdir dvews)
"$CXX" -std=c++20 -O1 "$HERE/consumer/consumer.cpp" -o "$WORK/pc-consumer" "${flags[@]}" \
  -Wl,-rpath,"$libdir"

# The installed programs start (with a shared library, they find it beside them).
"$PREFIX/bin/ews" --help >/dev/null || fail "the installed ews does not run"

"$PREFIX/bin/ewssim" --listen 127.0.0.1:0 --user "alice@example.com:secret:Alice Archer" \
  >"$WORK/ewssim.out" 2>"$WORK/ewssim.err" &
SIM=$!
trap 'kill $SIM 2>/dev/null || true; wait $SIM 2>/dev/null || true' EXIT
url=""
for _ in $(seq 100); do
  url=$(sed -n '1s|^listening on \(http://127\.0\.0\.1:[0-9]*/EWS/Exchange\.asmx\)$|\1|p' \
    "$WORK/ewssim.out")
  [[ -n "$url" ]] && break
  kill -0 $SIM 2>/dev/null || { cat "$WORK/ewssim.err" >&2; fail "ewssim did not start"; }
  sleep 0.1
done
[[ -n "$url" ]] || fail "ewssim did not report its address"

expected=$(printf '%s\n%s' "$version" Inbox)
for program in "$WORK/cmake-consumer/consumer" "$WORK/pc-consumer"; do
  out=$("$program" "$url" alice@example.com secret) || fail "$program failed"
  [[ "$out" == "$expected" ]] || fail "$program printed '$out', expected '$expected'"
  echo "$(basename "$program"): ok"
done

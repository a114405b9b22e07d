#!/usr/bin/env bash
# One entry point for everything: installing packages, building, the demo and the tests.
#
#   ./run.sh demo     install missing packages, build, run the demo
#   ./run.sh test     install missing packages, build, run every test (plain and sanitized builds)
#   ./run.sh build    install missing packages and build (build/)
#   ./run.sh bench    build and run the benchmarks
#   ./run.sh fuzz     build the fuzz targets with Clang and libFuzzer and run each (FUZZ_SECONDS)
#   ./run.sh format   reformat every tracked C++ file with clang-format
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}

log() { printf '\n== %s\n' "$*"; }

deps() {
  local missing=()
  while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done <"$ROOT/deps.txt"
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# build DIR [cmake args...]
build_tree() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j "$JOBS"
}

build() { build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVEWS_WERROR=ON; }

format_check() {
  log "clang-format check"
  local files
  files=$(git ls-files '*.cpp' '*.h' | grep -v '^ews/generated/' || true)
  [[ -z "$files" ]] && return 0
  # shellcheck disable=SC2086
  clang-format --dry-run -Werror $files
}

run_tests() {
  local dir=$1
  shift
  (cd "$ROOT/$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

case "${1:-}" in
  deps) deps ;;
  build) deps && build ;;
  demo)
    deps
    build
    log "demo"
    "$ROOT/examples/demo.sh" "$ROOT/build"
    ;;
  test)
    deps
    format_check
    log "build (RelWithDebInfo)"
    build
    log "tests"
    run_tests build
    log "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
    build_tree build-asan -DCMAKE_BUILD_TYPE=Debug -DEWS_SANITIZE=address -DDVEWS_WERROR=ON
    log "tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      run_tests build-asan -LE nosanitize
    # Only the tests labelled "tsan" and what they link (target tsan_tests), to keep CI time down.
    log "build (ThreadSanitizer)"
    cmake -S "$ROOT" -B "$ROOT/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DEWS_SANITIZE=thread \
      -DDVEWS_WERROR=ON -DDVEWS_BUILD_BENCH=OFF -DDVEWS_BUILD_FUZZ=OFF -DDVEWS_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$ROOT/build-tsan" -j "$JOBS" --target tsan_tests
    log "threaded tests under ThreadSanitizer"
    run_tests build-tsan -L tsan  # TSAN_OPTIONS come from the tests' own settings
    ;;
  bench)
    deps
    build
    for b in "$ROOT"/build/bench/*/bench_*; do
      if [[ -x "$b" ]]; then
        log "$(basename "$b")"
        "$b"
      fi
    done
    ;;
  fuzz)
    # libFuzzer needs Clang; the fuzz build has its own folder and instruments every unit.
    deps
    for pkg in clang libclang-rt-14-dev; do
      dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
        { [[ $(id -u) -ne 0 ]] && sudo=sudo || sudo=""; $sudo apt-get install -y -qq "$pkg"; }
    done
    CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DEWS_FUZZ=ON -DEWS_SANITIZE=address -DDVEWS_WERROR=ON >/dev/null
    targets=(xml filter schema soap json http utils ewssim)
    cmake --build "$ROOT/build-fuzz" -j "$JOBS" --target "${targets[@]/#/fuzz_}"
    for target in "${targets[@]}"; do
      log "fuzz_$target for ${FUZZ_SECONDS:-60} s"
      mkdir -p "$ROOT/build-fuzz/corpus/$target"
      seeds=("$ROOT/fuzz/corpus/$target")
      [[ $target == soap || $target == ewssim ]] && seeds+=("$ROOT/data/ews-samples")  # captured requests
      "$ROOT/build-fuzz/fuzz/fuzz_$target" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 \
        -artifact_prefix="$ROOT/build-fuzz/" "$ROOT/build-fuzz/corpus/$target" "${seeds[@]}"
    done
    ;;
  format)
    git ls-files '*.cpp' '*.h' | grep -v '^ews/generated/' | xargs -r clang-format -i
    ;;
  *)
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac

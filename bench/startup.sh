#!/usr/bin/env bash
# Start-up of a whole run, `flashwright --ui console /fu` on a fresh module,
# against the same run under Qt (offscreen, the plug-in and its libraries
# loaded, no window shown), in the same script run:
#   bench/startup.sh [RUNS]        (default 50 runs of each)
# Builds the program into $BUILD (default: build-bench, as `make bench`).
# Prints the mean and fastest wall time of each and how many shared objects
# the dynamic loader mapped.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-build-bench}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
runs="${1:-50}"

"$root/scripts/install-deps"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFW_BENCH=ON -DFW_TESTS=OFF >/dev/null
cmake --build "$build" --target flashwright fwmodule -j "$(nproc)" >/dev/null

module="$(mktemp -d /tmp/fwstartup.XXXXXX)"
trap 'rm -rf "$module"' EXIT
"$build/fwmodule" create "$module/m" >/dev/null

# No display for the console run; Qt gets the offscreen one.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
run() {
  if [ "$1" = qt ]; then
    QT_QPA_PLATFORM=offscreen "$build/flashwright" --module "$module/m" --ui qt /fu
  else
    "$build/flashwright" --module "$module/m" --ui console /fu
  fi
}

micros() { local t="$EPOCHREALTIME"; echo "${t//[.,]/}"; }

# Sets `mean` and `best` (microseconds) for RUNS runs of the command; a run
# must succeed (exit code 1), so a broken build is not timed as a fast one.
measure() {
  local total=0 start took code
  best=
  for ((i = 0; i < runs; i++)); do
    start=$(micros)
    code=0
    "$@" >/dev/null 2>&1 || code=$?
    took=$(($(micros) - start))
    if [ "$code" -ne 1 ]; then
      echo "bench/startup.sh: the $2 run exited with $code" >&2
      exit 1
    fi
    total=$((total + took))
    if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
  done
  mean=$((total / runs))
}

objects() { LD_DEBUG=files "$@" 2>&1 >/dev/null | grep -c 'generating link map'; }

ms() { awk -v us="$1" 'BEGIN { printf "%7.1f ms", us / 1000 }'; }

echo "flashwright /fu start-up, $runs runs each ($build)"
printf '%-26s %10s %10s %8s\n' run mean fastest objects
measure run console
console_best=$best
printf '%-26s %s %s %8s\n' "console, no display" "$(ms "$mean")" "$(ms "$best")" "$(objects run console)"
measure run qt
printf '%-26s %s %s %8s\n' "qt, offscreen" "$(ms "$mean")" "$(ms "$best")" "$(objects run qt)"
awk -v c="$console_best" -v q="$best" 'BEGIN { printf "console / qt (fastest): %.2f\n", c / q }'

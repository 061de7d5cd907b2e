#!/usr/bin/env bash
# Heap allocations of the daemon's streaming worker, counted on the real
# programs: vellora-bridge-sim streams one card, played by vellora-card-play,
# to one port of vellora-target-sim, each side in a network namespace of its
# own joined by a veth pair. A preloaded shim counts allocations per thread
# and reports the worker's between its first and last audio packet, with the
# cycles it ran in that time.
#
#   bench/worker_alloc.sh [BUILD-DIR] [SECONDS]
#
# Runs four cases and prints allocations per 1,000 cycles for each:
#   steady  - the settings' defaults, log level 5
#   late    - every 100th audio packet held back 12 ms, so cycles start late
#   resend  - the target drops every 250th packet and asks for resends
#   debug   - as resend, at log level 6 ("Debug=enable"): progress records,
#             feedback records and the send-time trace
# Also on request (VELLORA_ALLOC_CASES), not by default:
#   wide    - 192 kHz, 32-bit, 8 channels: several packets per cycle
# VELLORA_ALLOC_NOBUILD=1 takes the programs of BUILD-DIR as they are (to
# compare builds). VELLORA_ALLOC_CASES="steady resend" runs only those; VELLORA_ALLOC_STACKS=1
# also prints the call stacks of the worker's allocations.
# Needs root (namespaces). Builds a release build in BUILD-DIR (build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-bench}
seconds=${2:-6}
[ "$(id -u)" -eq 0 ] || { echo "bench/worker_alloc.sh needs root (network namespaces)" >&2; exit 1; }

bin=$root/$build/bin
shim=$root/$build/thread_alloc_shim.so
tag=vwa-$$
namespaces=()
pids=()
work=$(mktemp -d /tmp/vellora-walloc.XXXXXX)

cleanup() {
  local status=$? pid ns
  trap - EXIT INT TERM
  set +e
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "worker_alloc: $*" >&2
  local f
  for f in "$work"/*.err "$work"/*.out; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -n 10 "$f" >&2; }
  done
  exit 1
}

wait_for() {
  local limit=$1 what=$2
  shift 2
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || fail "no $what within $limit s"
    sleep 0.1
  done
}

# Ends a process of ours by its id: the signal, then up to 30 s.
stop_pid() {
  local pid=$1 sig=$2 i
  kill "-$sig" "$pid" 2>/dev/null || true
  for i in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local kept=() p
  for p in "${pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
  pids=("${kept[@]}")
}

. scripts/lib/deps.sh
vellora_install_deps

if [ "${VELLORA_ALLOC_NOBUILD:-}" = 1 ]; then
  echo "== the programs in $build/ as they are"
  [ -x "$bin/vellora-bridge-sim" ] || fail "no programs in $build/bin"
else
  echo "== building the programs in $build/"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_TESTS=OFF >"$work/build.log" 2>&1 ||
      { cat "$work/build.log" >&2; fail "cmake failed"; }
  fi
  cmake --build "$build" -j 4 --target vellora-bridge-sim vellora-target-sim vellora-card-play \
    >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "the build failed"; }
fi
g++ -std=c++20 -O2 -fPIC -shared -Wall -Wextra -Werror -o "$shim" \
  bench/worker_alloc/thread_alloc_shim.cpp -ldl || fail "the shim did not build"

. scripts/lib/link.sh

# run_case NAME DEBUG-LINE DROP-EVERY LATE-EVERY [PLAY-ARGS BYTES-PER-SECOND]:
# one stream; prints its line.
run_case() {
  local name=$1 debug=$2 drop=$3 late=$4
  local play_args=${5:-"--format 0x80 --rate 0x4 --channels 0x2"} rate_bytes=${6:-384000}
  local dir=$work/$name ns_host=$tag-$name-h ns_target=$tag-$name-t
  mkdir -p "$dir/received" "$dir/cards"
  ip netns add "$ns_host"
  namespaces+=("$ns_host")
  ip netns add "$ns_target"
  namespaces+=("$ns_target")
  ip link add vh0 netns "$ns_host" type veth peer name vt0 netns "$ns_target"
  vellora_link_side "$ns_host" vh0 fe80::1:1
  vellora_link_side "$ns_target" vt0 fe80::2:1

  local target_args=(--device vt0 --record "$dir/received" --commands "$dir/commands" --target amp --port left)
  [ "$drop" -gt 0 ] && target_args+=(--drop-every "$drop")
  ip netns exec "$ns_target" "$bin/vellora-target-sim" "${target_args[@]}" \
    >"$dir/target.out" 2>"$dir/target.err" &
  local target_pid=$!
  pids+=("$target_pid")
  wait_for 15 "ready from vellora-target-sim" grep -sqx ready "$dir/target.out"

  {
    echo "Interface=vh0"
    [ -n "$debug" ] && echo "$debug"
  } >"$dir/setting.inf"
  env VELLORA_SIM_DIR="$dir/cards" LD_PRELOAD="$shim" VELLORA_ALLOC_OUT="$dir/alloc" \
    VELLORA_ALLOC_LATE="$late" ip netns exec "$ns_host" "$bin/vellora-bridge-sim" "$dir/setting.inf" bench \
    >"$dir/daemon.out" 2>"$dir/daemon.err" &
  local daemon_pid=$!
  pids+=("$daemon_pid")
  card_file() { ls "$dir/cards" 2>/dev/null | grep -E '^vellora-alsa_[0-9]+$' | head -n 1; }
  has_card() { [ -n "$(card_file)" ]; }
  wait_for 50 "card" has_card
  local card
  card=$(card_file)
  card=${card#vellora-alsa_}

  # A frame counter, 48 kHz 32-bit stereo unless the case says otherwise.
  # shellcheck disable=SC2086
  ip netns exec "$ns_host" "$bin/vellora-card-play" --dir "$dir/cards" --card "$card" --timeout-ms 20000 \
    $play_args --pattern --bytes $((rate_bytes * seconds)) \
    >"$dir/play.out" 2>&1 || fail "vellora-card-play failed in case $name"
  # The stream ends at the target with the disconnect exchange.
  ended() {
    printf 'summary\n' >"$dir/commands"
    sleep 0.3
    grep -E '^port ' "$dir/target.out" | tail -n 1 | grep -qE 'disconnects=[1-9]'
  }
  wait_for 20 "end of the stream" ended
  stop_pid "$daemon_pid" INT
  printf 'quit\n' >"$dir/commands" || true
  stop_pid "$target_pid" TERM
  ip netns del "$ns_host"
  ip netns del "$ns_target"
  namespaces=()

  [ -s "$dir/alloc" ] || fail "no count from the shim in case $name"
  local line packets cycles allocations cpu
  line=$(head -n 1 "$dir/alloc")
  packets=$(sed -n 's/.*packets=\([0-9]*\).*/\1/p' <<<"$line")
  cycles=$(sed -n 's/.*cycles=\([0-9]*\).*/\1/p' <<<"$line")
  allocations=$(sed -n 's/.*allocations=\([0-9]*\).*/\1/p' <<<"$line")
  cpu=$(sed -n 's/.*cpu_ns_per_cycle=\([0-9]*\).*/\1/p' <<<"$line")
  [ "${cycles:-0}" -gt 0 ] || fail "the worker ran no cycle in case $name"
  local resends
  resends=$(grep -E '^port ' "$dir/target.out" | tail -n 1 | sed -n 's/.*resend[a-z_]*=\([0-9]*\).*/\1/p' | head -n 1)
  awk -v n="$name" -v a="$allocations" -v c="$cycles" -v p="$packets" -v r="${resends:-?}" -v t="${cpu:-0}" 'BEGIN {
      printf "%-7s %8.2f allocations per 1000 cycles  (%d allocations, %d cycles, %d packets, resent %s; worker CPU %.1f us per cycle)\n",
             n, a * 1000 / c, a, c, p, r, t / 1000 }'
  if [ "${VELLORA_ALLOC_STACKS:-}" = 1 ]; then
    # Offsets into the daemon become function names; library frames stay.
    local l file off
    tail -n +2 "$dir/alloc" | while IFS= read -r l; do
      if [[ $l =~ ^(.*vellora-bridge-sim)\(\+(0x[0-9a-f]+)\) ]]; then
        file=${BASH_REMATCH[1]}
        off=${BASH_REMATCH[2]}
        echo "    $(addr2line -f -C -e "$file" "$(printf 0x%x $((off - 1)))" | head -n 1)"
      elif [[ $l == stack* ]]; then
        echo "  $l"
      fi
    done
  fi
}

echo "== streaming worker allocations, $seconds s streams"
cases=${VELLORA_ALLOC_CASES:-steady late resend debug}
for c in $cases; do
  case $c in
    steady) run_case steady "" 0 0 ;;
    late) run_case late "" 0 100 ;;
    resend) run_case resend "" 250 0 ;;
    debug) run_case debug "Debug=enable" 250 0 ;;
    wide) run_case wide "" 0 0 "--format 0x80 --rate 0x40 --channels 0x80" $((192000 * 32)) ;;
    *) fail "unknown case $c" ;;
  esac
done

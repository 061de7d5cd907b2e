#!/usr/bin/env bash
# Soak: plays a frame counter at 192 kHz / 32-bit / 8 channels through the
# real programs (vellora-card-play -> vellora-bridge-sim -> vellora-target-sim)
# for a number of minutes while `nproc` CPU-bound processes at normal
# priority run beside it, then prints how many blocks of silence the stream
# inserted ("SyncBuffer not enough mute data" records), the buffer worker's
# worst pass and the worst hand-over to the notify thread, the card
# underruns, and whether the recording is byte-exact.
#
#   bench/soak.sh [MINUTES] [HOGS]      (defaults: 2 minutes, nproc hogs)
#
# Environment: SOAK_BUILD (build dir, default build-soak, a release build
# made here), SOAK_THREDMODE (the daemon's ThredMode, default 1: the worker
# at FIFO 99, sleeping between cycles), SOAK_PERIODS (card periods, 32),
# SOAK_STANDIN_RR (round-robin priority of the two stand-ins, default 5; 0
# runs them at normal priority). They stand for what is not on this machine's
# CPUs: an ALSA application is woken by the driver's period interrupt, where
# the stand-in polls every 500 us, and a target is a device of its own. A
# stand-in crowded out by the load leaves the card ring unwritten (card
# underruns, stale audio) or stops answering (the stream times out)
# whatever the daemon does, so by default they run at a real-time priority
# below the daemon's workers.
# The daemon and the target stand-in run in two network namespaces of their
# own joined by a veth pair, as scripts/demo does; everything made here is
# removed on every way out. Needs root. Exit status 0 only for 0 inserted
# blocks and a byte-exact recording.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

minutes=${1:-2}
hogs=${2:-$(nproc)}
build=${SOAK_BUILD:-build-soak}
thredmode=${SOAK_THREDMODE:-1}
periods=${SOAK_PERIODS:-32}
standin_rr=${SOAK_STANDIN_RR:-5}
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60); if (s < 1) s = 1; print s }')
bytes_per_second=$((192000 * 8 * 4))
played_bytes=$((bytes_per_second * seconds))

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/soak.sh needs root: it creates network namespaces and a veth pair" >&2
  exit 1
fi

bin=$root/$build/bin
tag=vsoak-$$
ns_host=$tag-h
ns_target=$tag-t
work=""
sim=""
namespaces=()
pids=()
hog_pids=()

stop_pid() {
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  kill -TERM "$pid" 2>/dev/null
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

stop_hogs() {
  local pid
  for pid in "${hog_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
  done
  hog_pids=()
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  set +e
  stop_hogs
  local pid ns
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  if [ -n "$work" ] && [ -z "${SOAK_KEEP:-}" ]; then rm -rf "$work"; fi
  [ -n "$work" ] && [ -n "${SOAK_KEEP:-}" ] && echo "kept $work"
  [ -n "$sim" ] && rm -rf "$sim"
  exit "$status"
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "soak: $*" >&2
  local file
  for file in daemon.log daemon.err target.err play.out; do
    if [ -n "$work" ] && [ -s "$work/$file" ]; then
      echo "--- last lines of $file" >&2
      tail -n 15 "$work/$file" >&2
    fi
  done
  exit 1
}

start() {
  "$@" &
  pids+=("$!")
}

forget() {
  local pid kept=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
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

alive() { kill -0 "$1" 2>/dev/null; }

# --- build ---------------------------------------------------------------

. scripts/lib/standin.sh
vellora_standin_prefix "$standin_rr"

work=$(mktemp -d /tmp/vellora-soak.XXXXXX)
sim=$(mktemp -d /dev/shm/vellora-soak.XXXXXX)
echo "== building in $build/"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_TESTS=OFF -DVELLORA_BENCH=ON \
    >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "cmake failed"; }
fi
cmake --build "$build" -j 4 --target vellora-bridge-sim vellora-target-sim vellora-card-play bench_soak_check \
  >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "the build failed"; }

# --- the link ------------------------------------------------------------

ip netns add "$ns_host"
namespaces+=("$ns_host")
ip netns add "$ns_target"
namespaces+=("$ns_target")
ip link add vh0 netns "$ns_host" type veth peer name vt0 netns "$ns_target"
. scripts/lib/link.sh
vellora_link_side "$ns_host" vh0 fe80::1:1
vellora_link_side "$ns_target" vt0 fe80::2:1
link_up() { ip -n "$1" -o link show dev "$2" | grep -q 'state UP'; }
wait_for 10 "carrier on vh0" link_up "$ns_host" vh0
wait_for 10 "carrier on vt0" link_up "$ns_target" vt0

# --- the target stand-in -------------------------------------------------

fifo=$work/commands
mkdir "$work/received"
start ip netns exec "$ns_target" "${standin[@]}" "$bin/vellora-target-sim" --device vt0 --record "$work/received" \
  --commands "$fifo" --target amp --port out >"$work/target.out" 2>"$work/target.err"
target_pid=${pids[-1]}
target_ready() {
  alive "$target_pid" || fail "vellora-target-sim ended"
  grep -qx ready "$work/target.out"
}
wait_for 15 "\"ready\" from vellora-target-sim" target_ready

count_lines() { grep -c "$@" "$work/target.out" || true; }
replies() { count_lines -e '^ok ' -e '^error: '; }
replies_above() { [ "$(replies)" -gt "$1" ]; }
summaries_above() { [ "$(count_lines -x 'end summary')" -gt "$1" ]; }
target_command() {
  local before
  before=$(replies)
  timeout 5 bash -c 'printf "%s\n" "$1" >"$2"' _ "$1" "$fifo" || fail "the command FIFO took no \"$1\""
  wait_for "${2:-10}" "reply to \"$1\"" replies_above "$before"
}
target_summary() {
  local before
  before=$(count_lines -x 'end summary')
  target_command summary "${1:-10}"
  wait_for "${1:-10}" "summary" summaries_above "$before"
  awk '/^ok summary$/ { block = "" } /^port / { block = block $0 "\n" } /^end summary$/ { last = block }
       END { printf "%s", last }' "$work/target.out" >"$work/summary"
}
summary_field() {
  awk -v port="$1" -v key="$2" '$2 == port {
      for (i = 3; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) print kv[2] } }' "$work/summary"
}

# --- the daemon ----------------------------------------------------------

cat >"$work/setting.inf" <<EOF
Debug=stdout
Interface=vh0
ThredMode=$thredmode
EOF
start env VELLORA_SIM_DIR="$sim" ip netns exec "$ns_host" "$bin/vellora-bridge-sim" "$work/setting.inf" "vellora soak" \
  >"$work/daemon.log" 2>"$work/daemon.err"
daemon_pid=${pids[-1]}
card_of() {
  awk -v want="$1" '/TargetName : / { current = $NF } /add node:/ { if (current == want) card = $NF }
       END { if (card != "") print card }' "$work/daemon.log"
}
have_card() {
  alive "$daemon_pid" || fail "vellora-bridge-sim ended"
  [ -n "$(card_of amp:out)" ]
}
wait_for 30 "a card for amp:out" have_card
card=$(card_of amp:out)

# --- the load and the play -----------------------------------------------

for _ in $(seq "$hogs"); do
  sh -c 'while :; do :; done' &
  hog_pids+=("$!")
done
echo "== $hogs CPU-bound processes started; load before the play: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== playing $seconds s of the frame counter (192 kHz, 32-bit, 8 channels, $periods card periods, ThredMode=$thredmode, stand-ins at round-robin $standin_rr)"
start ip netns exec "$ns_host" "${standin[@]}" "$bin/vellora-card-play" --dir "$sim" --card "$card" --timeout-ms 30000 \
  --format 0x80 --rate 0x40 --channels 0x80 --periods "$periods" --pattern --seconds "$seconds" \
  >"$work/play.out" 2>&1
play_pid=${pids[-1]}
loads=()
while alive "$play_pid"; do
  sleep 5
  loads+=("$(cut -d' ' -f1 /proc/loadavg)")
done
play_status=0
wait "$play_pid" || play_status=$?
forget "$play_pid"
stop_hogs
[ "$play_status" = 0 ] || fail "vellora-card-play did not play everything (status $play_status)"

streams_ended() {
  # The summary also writes the recording: minutes of audio take a while.
  target_summary 600
  [ "$(summary_field amp:out disconnects)" != 0 ]
}
wait_for 1200 "end of the stream at the target" streams_ended

kill -INT "$daemon_pid"
end=$((SECONDS + 30))
while alive "$daemon_pid" && [ "$SECONDS" -lt "$end" ]; do sleep 0.1; done
alive "$daemon_pid" && fail "vellora-bridge-sim did not stop within 30 s"
wait "$daemon_pid" || true
forget "$daemon_pid"

# --- the figures ---------------------------------------------------------

log=$work/daemon.log
vellora_daemon_figures "$log"
printer_waits=$(grep -c -e '^wait debug out$' -e '^timeout debug out$' "$log" || true)
player_late=$(sed -n 's/.* late=\([0-9]*\).*/\1/p' "$work/play.out" | tail -n 1)
worst_pass=$(sed -n 's/.*BufferWorker passes \([0-9]*\) worst pass \([0-9]*\) us.*/\2/p' "$log" | sort -n | tail -n 1)
passes=$(sed -n 's/.*BufferWorker passes \([0-9]*\) worst pass.*/\1/p' "$log" | tail -n 1)
worst_gap=$(sed -n 's/.*BufferWorker passes.* worst gap \([0-9]*\) us.*/\1/p' "$log" | sort -n | tail -n 1)
dropped=$(sed -n 's/.*BufferWorker passes.* log dropped \([0-9]* [0-9]*\).*/\1/p' "$log" | tail -n 1)
worst_notify=$(sed -n 's/.*Notify Thread worst hand-over \([0-9]*\) us.*/\1/p' "$log" | sort -n | tail -n 1)
check=$("$bin/bench_soak_check" "$work/received/amp_out.raw" "$played_bytes") && exact=1 || exact=0

load_summary=$(printf '%s\n' "${loads[@]}" | awk 'NR == 1 { lo = hi = $1 } { s += $1; if ($1 < lo) lo = $1; if ($1 > hi) hi = $1 }
  END { if (NR) printf "load average (1 min) during the play: min %.1f mean %.1f max %.1f", lo, s / NR, hi }')
echo "== $load_summary, with $hogs CPU-bound processes on $(nproc) CPUs"
echo "buffer worker: ${passes:-?} passes, worst pass ${worst_pass:-?} us, worst wait with room to fill ${worst_gap:-?} us"
echo "notify hand-over: worst ${worst_notify:-?} us"
echo "$(vellora_daemon_met); player late: ${player_late:-?}"
echo "printer full-ring lines (\"wait/timeout debug out\"): $printer_waits"
[ -n "$dropped" ] && echo "log records dropped (pool, printer): $dropped"
echo "recording: $check"
if [ "$met_inserted" = 0 ] && [ "$exact" = 1 ]; then
  echo "== soak passed"
  exit 0
fi
echo "== soak failed" >&2
exit 1

#!/usr/bin/env bash
# Resident memory of vellora-bridge-sim over a long simulated stream: the
# target stand-in in one network namespace, the daemon and the card player
# in another, joined by a veth pair with link-local addresses (as
# scripts/demo does). Plays a frame counter (48 kHz, 16-bit, stereo) into
# the card for MINUTES minutes and prints the daemon's VmRSS each minute.
#
#   bench/sim_daemon_rss.sh [BIN-DIR] [MINUTES]    (needs root)
#
# BIN-DIR holds the three programs (default build-rel/bin, a Release build).
# Everything it creates is removed on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build-rel/bin}")
minutes=${2:-5}
[ "$(id -u)" -eq 0 ] || { echo "needs root: network namespaces and a veth pair" >&2; exit 1; }

tag=vrss-$$
ns_host=$tag-h
ns_target=$tag-t
work=$(mktemp -d /tmp/vellora-rss.XXXXXX)
sim=$(mktemp -d /dev/shm/vellora-rss.XXXXXX)
pids=()
namespaces=()

cleanup() {
  local status=$? pid ns
  trap - EXIT INT TERM
  set +e
  for pid in "${pids[@]}"; do
    kill -INT "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$work" "$sim"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$ns_host"; namespaces+=("$ns_host")
ip netns add "$ns_target"; namespaces+=("$ns_target")
ip link add vh0 netns "$ns_host" type veth peer name vt0 netns "$ns_target"
. scripts/lib/link.sh
vellora_link_side "$ns_host" vh0 fe80::1:1
vellora_link_side "$ns_target" vt0 fe80::2:1

ip netns exec "$ns_target" "$bin/vellora-target-sim" --device vt0 --target amp --port left \
  >"$work/target.out" 2>"$work/target.err" &
pids+=("$!")
for _ in $(seq 150); do grep -qx ready "$work/target.out" && break; sleep 0.1; done
grep -qx ready "$work/target.out" || { echo "the target stand-in did not start" >&2; exit 1; }

printf 'Debug=stdout\nInterface=vh0\nThredMode=0\n' >"$work/setting.inf"
env VELLORA_SIM_DIR="$sim" ip netns exec "$ns_host" "$bin/vellora-bridge-sim" "$work/setting.inf" rss \
  >"$work/daemon.log" 2>"$work/daemon.err" &
daemon=$!
pids+=("$daemon")
card=""
for _ in $(seq 300); do
  card=$(awk '/add node:/ { c = $NF } END { print c }' "$work/daemon.log")
  [ -n "$card" ] && break
  sleep 0.1
done
[ -n "$card" ] || { echo "no card within 30 s" >&2; tail "$work/daemon.log" >&2; exit 1; }

seconds=$((minutes * 60))
ip netns exec "$ns_host" "$bin/vellora-card-play" --dir "$sim" --card "$card" --format 0x2 --rate 0x4 \
  --channels 0x2 --pattern --seconds "$seconds" --timeout-ms 15000 >"$work/play.out" 2>&1 &
player=$!
pids+=("$player")
rss() { awk '/^VmRSS/ { print $2 " kB" }' "/proc/$daemon/status"; }
echo "minute 0: $(rss)"
for m in $(seq "$minutes"); do
  sleep 60
  kill -0 "$daemon" 2>/dev/null || { echo "the daemon ended" >&2; exit 1; }
  echo "minute $m: $(rss)"
done
wait "$player" && echo "player: $(tail -n 1 "$work/play.out")" || echo "player failed: $(tail -n 2 "$work/play.out")"

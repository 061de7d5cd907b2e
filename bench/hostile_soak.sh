#!/usr/bin/env bash
# Resident memory of the daemon over a long run on a hostile link: the daemon
# (built for the stand-in driver), a well-behaved target and a hostile node
# (silent answerers from many UDP ports, and answers from source port 0) on
# one veth link in two network namespaces of their own. A player plays into
# the card again and again, so the stream connects and disconnects all along.
# Prints the daemon's VmRSS, threads and descriptors once a minute.
#
#   bench/hostile_soak.sh BUILD-DIR [MINUTES] [FLOOD]
#
# BUILD-DIR holds bin/ with the four programs (a release build). FLOOD
# "none" runs without the hostile node, for comparison. With SOAK_WRAP set
# (e.g. "heaptrack -o /tmp/soak") the daemon runs under that command; the
# figures are then those of the wrapper's process. Needs root.
# Everything it creates is removed on every way out.
set -euo pipefail
bin=$(cd "$1" && pwd)/bin
minutes=${2:-30}
flood=${3:-100}
tag=vsoak-$$
ns_host=$tag-h
ns_target=$tag-t
work=$(mktemp -d /tmp/vellora-soak.XXXXXX)
sim=$(mktemp -d /dev/shm/vellora-soak.XXXXXX)
pids=()

cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  set +e
  # The children too: a wrapper such as heaptrack runs the daemon as its
  # child, and writes its data once the daemon has ended.
  for pid in "${pids[@]}"; do
    kill -INT $(pgrep -P "$pid") "$pid" 2>/dev/null
  done
  sleep 5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  ip netns del "$ns_host" 2>/dev/null
  ip netns del "$ns_target" 2>/dev/null
  rm -rf "$sim"
  echo "logs in $work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$ns_host"
ip netns add "$ns_target"
ip link add vh0 netns "$ns_host" type veth peer name vt0 netns "$ns_target"
. "$(dirname "$0")/../scripts/lib/link.sh"
vellora_link_side "$ns_host" vh0 fe80::1:1
vellora_link_side "$ns_target" vt0 fe80::2:1 fe80::2:3
sleep 2

mkfifo "$work/commands"
ip netns exec "$ns_target" "$bin/vellora-target-sim" --device vt0 --record "$work" --commands "$work/commands" \
  --target amp --address fe80::2:1 --port out >"$work/target.out" 2>"$work/target.err" &
pids+=("$!")
if [ "$flood" != none ]; then
  ip netns exec "$ns_target" "$bin/vellora-hostile-sim" --device vt0 --address fe80::2:3 --flood "$flood" \
    --port-zero >"$work/hostile.out" 2>"$work/hostile.err" &
  pids+=("$!")
fi
printf 'Debug=enable\nInterface=vh0\nThredMode=0\n' >"$work/setting.inf"
sleep 1
# shellcheck disable=SC2086
VELLORA_SIM_DIR="$sim" ip netns exec "$ns_host" ${SOAK_WRAP:-} "$bin/vellora-bridge-sim" "$work/setting.inf" "soak" \
  >"$work/daemon.out" 2>"$work/daemon.err" &
pids+=("$!")
daemon=$!  # ip netns exec becomes the program itself
for _ in $(seq 600); do [ -e "$sim/vellora-alsa_0" ] && break; sleep 0.1; done
[ -e "$sim/vellora-alsa_0" ] || { echo "no card" >&2; exit 1; }

(
  while :; do
    ip netns exec "$ns_host" "$bin/vellora-card-play" --dir "$sim" --card 0 --timeout-ms 15000 --pattern \
      --seconds 20 >>"$work/play.out" 2>&1 || echo "play failed" >>"$work/play.out"
    sleep 5
  done
) &
pids+=("$!")

start=$SECONDS
echo "minute rss_kb threads fds plays_failed"
for m in $(seq 0 "$minutes"); do
  while [ $((SECONDS - start)) -lt $((m * 60)) ]; do sleep 1; done
  kill -0 "$daemon" 2>/dev/null || { echo "daemon ended" >&2; exit 1; }
  rss=$(awk '/^VmRSS/ {print $2}' /proc/$daemon/status)
  threads=$(awk '/^Threads/ {print $2}' /proc/$daemon/status)
  fds=$(ls /proc/$daemon/fd | wc -l)
  failed=$(grep -c "play failed" "$work/play.out" || true)
  echo "$m $rss $threads $fds $failed"
done

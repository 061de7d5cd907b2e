# Shared by scripts/demo and bench/soak.sh: how the stand-ins run, and what
# the daemon met while it streamed.

# The stand-ins stand for what is not on this machine's CPUs: an ALSA
# application is woken by the driver's period interrupt (the stand-in polls
# every 500 us instead), a target is a device of its own. Crowded out by a
# loaded machine, a stand-in leaves the card ring unwritten or stops
# answering whatever the daemon does, so they run at a round-robin priority
# below the daemon's workers. Sets the array `standin` to the command prefix
# for priority RR (0: normal priority, an empty prefix); falls back to normal
# priority, with a word, where real-time scheduling is refused.
#   vellora_standin_prefix RR
vellora_standin_prefix() {
  standin=()
  [ "$1" = 0 ] && return 0
  if chrt -r "$1" true 2>/dev/null; then
    standin=(chrt -r "$1")
  else
    echo "   (real-time scheduling refused here: the stand-ins run at normal priority)" >&2
  fi
}

# Figures from the daemon's log (Debug=stdout) that tell a machine that held
# the daemon up from a fault: the streaming worker's late cycles ("over time
# <us late> ..."), the card underruns the period copy met, and the blocks of
# mute the stream buffer inserted because the card had nothing ready. Sets
# met_late, met_worst (us), met_underruns and met_inserted.
#   vellora_daemon_figures LOG
vellora_daemon_figures() {
  met_late=$(grep -c 'over time [0-9]' "$1" || true)
  met_worst=$(sed -n 's/.*over time \([0-9][0-9]*\) .*/\1/p' "$1" | sort -n | tail -n 1)
  met_worst=${met_worst:-0}
  met_underruns=$(grep -c 'Buffer underrun' "$1" || true)
  met_inserted=$(grep -c 'SyncBuffer not enough mute data' "$1" || true)
}

# The figures vellora_daemon_figures set last, as one line.
vellora_daemon_met() {
  echo "late cycles (\"over time\"): $met_late, the worst $met_worst us late;" \
    "card underruns (\"Buffer underrun\"): $met_underruns;" \
    "mute blocks inserted (\"SyncBuffer not enough mute data\"): $met_inserted"
}

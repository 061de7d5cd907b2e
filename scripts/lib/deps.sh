# Shared by scripts/test and scripts/demo: installs what a fresh machine lacks.
vellora_install_deps() {
  local need=()
  local pkg
  for pkg in cmake g++ ninja-build libgtest-dev libgmock-dev libbenchmark-dev iproute2; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
  fi
}

vellora_tsan_prepare() {
  local bits
  bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)
  if [ "$bits" -gt 28 ] && [ "$(id -u)" -eq 0 ]; then
    sysctl -q -w vm.mmap_rnd_bits=28 || true
  fi
}

# One side of a veth link in a network namespace: loopback up, fixed
# link-local addresses usable at once (no address of the kernel's own, no
# duplicate address detection), the device up.
#   vellora_link_side NAMESPACE DEVICE [ADDRESS ...]
vellora_link_side() {
  local ns=$1 dev=$2 a
  shift 2
  ip -n "$ns" link set lo up
  ip -n "$ns" link set dev "$dev" addrgenmode none
  ip netns exec "$ns" sh -c "echo 0 >/proc/sys/net/ipv6/conf/$dev/accept_dad"
  for a in "$@"; do ip -n "$ns" -6 addr add "$a/64" dev "$dev" nodad; done
  ip -n "$ns" link set dev "$dev" up
}

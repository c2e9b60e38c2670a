#!/usr/bin/env bash
# netns_adapters.sh COMMAND...: runs COMMAND in a network namespace of its own (made here
# when started outside one) with the adapters of a clinic computer, as Wine lists them by
# their names, in this order: "vboxnet0" (VirtualBox host-only, 169.254.3.4, up first),
# "Eth-Virtual" (a virtual switch), "Ethernet" (10.0.0.5/24 and the default route) and
# "Wi-Fi" (no address). The adapter rules offer Ethernet (wired) and Wi-Fi (wireless),
# and the host-name lookup puts the default route's address first. Wine asks the
# adapters through its server's processes: the caller ends any running wineserver first.
set -uo pipefail
[ -n "${LP_NETNS_ADAPTERS:-}" ] || exec unshare -n env LP_NETNS_ADAPTERS=1 "$0" "$@"
ip link set lo up && ip link add Eth-Virtual type veth peer name vboxnet0 && ip link add Wi-Fi type veth peer name Ethernet &&
  for i in vboxnet0 Eth-Virtual Ethernet Wi-Fi; do ip link set "$i" up || exit 1; done && ip addr add 169.254.3.4/16 dev vboxnet0 &&
  ip addr add 10.0.0.5/24 dev Ethernet && ip route add default via 10.0.0.1 dev Ethernet || { echo "netns_adapters: no network"; exit 1; }
# (A veth pair numbers its peer first: each pair is named so that the order above holds.)
exec "$@"

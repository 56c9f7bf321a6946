#!/usr/bin/env bash
# Runs COMMAND as root in a throw-away copy of this machine: every change to
# its files goes to an overlay over / that is dropped with the command, its
# network is a loopback of its own (so fixed ports are free and nothing
# outside is reached), its processes end with it, and /run starts empty (no
# service manager to talk to). Afterwards CHANGES lists the files
# the command left added, changed or deleted in the system's folders, for
# the caller to judge. Needs root (mount, network and PID namespaces).
#   scripts/throwaway-root.sh CHANGES COMMAND [ARG...]
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "throwaway-root.sh: needs root" >&2; exit 1; }
  exec unshare --mount --net --pid --fork --kill-child "$0" --inside "$@"
fi
changes=$2
shift 2

# The layers live on a tmpfs of this mount namespace: they go with it.
layers=/mnt
mount -t tmpfs -o mode=0755 throwaway "$layers"
mkdir "$layers/upper" "$layers/work" "$layers/root"
mount -t overlay throwaway -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$layers/root"
copy="$layers/root"
mount --rbind /dev "$copy/dev"
mount -t proc proc "$copy/proc"
mount --rbind -o ro /sys "$copy/sys"
mount -t tmpfs -o mode=0755 throwaway "$copy/run"
ip link set lo up

status=0
chroot "$copy" "$@" || status=$?
# A deleted file shows as a character device 0/0 in the upper layer.
folders=()
for folder in etc usr lib var opt srv home root; do [ -e "$layers/upper/$folder" ] && folders+=("$folder"); done
(cd "$layers/upper" && find "${folders[@]}" -mindepth 1 ! -type d | sort) >"$changes"
exit "$status"

#!/usr/bin/env bash
# Runs a command with Wine's 32-bit side, where the kernel runs 32-bit
# programs: the host's own when Debian's wine32 is installed, otherwise the
# same packages unpacked into the cache folder (scripts/kelvdrive/wine32tree.py,
# nothing added to dpkg or apt) and laid over /usr in a mount namespace of the
# command's own. Installing wine32:i386 would need i386 builds of host
# libraries at exactly the host's versions, which a Debian mirror often lacks.
# Usage: scripts/wine32-ns.sh COMMAND [ARGS...]   (KELV_CACHE: the cache folder,
# default build-cache)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ -x /usr/lib/wine/wine ]]; then exec "$@"; fi
cache=${KELV_CACHE:-$root/build-cache}
usr=$(PYTHONPATH=$root/scripts python3 -m kelvdrive.wine32tree "$cache") || {
  echo "wine32-ns.sh: Debian's 32-bit Wine could not be unpacked into $cache" >&2; exit 1; }
as=()
if [[ $(id -u) -ne 0 ]]; then as=(-r); fi  # a user namespace in which we may mount
exec unshare -m "${as[@]}" --propagation private -- /bin/sh -c \
  'mount -t overlay kelvwine -o lowerdir="$0":/usr /usr && exec "$@"' "$usr" "$@"

#!/usr/bin/env bash
# Installs the Debian packages that are missing, through apt-get as root or
# through sudo:  setup.sh run   what building and running the program needs
#                setup.sh test  that, and the test peers and tools (default)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
lists=("$here/packages-run.txt")
case "${1:-test}" in
  run) ;;
  test) lists+=("$here/packages.txt") ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac
mapfile -t wanted < <(cat "${lists[@]}" | grep -vE '^\s*(#|$)')

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Run as root or install sudo: missing ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
# Services that come with the test peers (dovecot) must not start on their own.
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

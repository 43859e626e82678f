#!/bin/bash
# Runs the installed user unit under a real systemd (a booted container), with
# a profile name that systemd escapes, and stops it with the window's advice.
# Needs root, debootstrap and systemd-container; not part of the test suite,
# since CI has no systemd to boot. Usage: scripts/try-user-unit.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
root=${VARDOCAM_TRY_ROOT:-/var/tmp/vardocam-unit-root}
user=vdunit
profile='玄関 カメラ'
boot_wait_s=20

[ -d "$root/etc" ] || debootstrap --variant=minbase --include=systemd,dbus,systemd-sysv bookworm "$root"
id "$user" > /dev/null 2>&1 || useradd -m "$user"
uid=$(id -u "$user")
home=$(getent passwd "$user" | cut -d: -f6)
chroot "$root" id "$user" > /dev/null 2>&1 || chroot "$root" useradd -m -u "$uid" "$user"
# The host's /usr is lent to the container, with the links and paths it needs.
cp -a /etc/alternatives/. "$root/etc/alternatives/"
cp -a /etc/ld.so.conf.d/. "$root/etc/ld.so.conf.d/"
mkdir -p "$root/var/lib/systemd/linger" && touch "$root/var/lib/systemd/linger/$user"

cmake --install "$build" --prefix "$home/.local" > /dev/null
mkdir -p "$home/.config/systemd/user"
cp "$home/.local/lib/systemd/user/vardocam@.service" "$home/.config/systemd/user/"
chown -R "$user:" "$home"

setsid systemd-nspawn -D "$root" --register=no --keep-unit --bind-ro=/usr --bind="$home" \
  --console=pipe -M vardocam-unit -b < /dev/null > /tmp/vardocam-unit-boot.log 2>&1 &
nspawn=$!
trap 'kill $nspawn 2> /dev/null || true' EXIT
for _ in $(seq "$boot_wait_s"); do
  init=$(pgrep -P "$nspawn" -x systemd || true)
  [ -n "$init" ] && nsenter -t "$init" -a pgrep -u "$user" -x systemd > /dev/null && break
  sleep 1
done
[ -n "${init:-}" ] || { echo "the container did not boot"; exit 1; }
nsenter -t "$init" -a ldconfig
as_user() { nsenter -t "$init" -a runuser -u "$user" -- env XDG_RUNTIME_DIR="/run/user/$uid" LANG=C.UTF-8 bash -c "$1"; }

unit=$(as_user "systemd-escape --template=vardocam@.service '$profile'")
as_user "systemctl --user daemon-reload && systemctl --user start '$unit'"
sleep 5
as_user "systemctl --user show -p ActiveState -p ExecMainPID '$unit'"
as_user "journalctl --user --no-pager -u '$unit' | tail -n 4"
# The advice the window gives, as a user would paste it.
as_user "systemctl --user stop \"vardocam@\$(systemd-escape '$profile')\""
as_user "systemctl --user show -p ActiveState -p Result -p ExecMainStatus '$unit'"
nsenter -t "$init" -a systemctl poweroff || true

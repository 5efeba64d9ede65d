#!/usr/bin/env bash
# Proves that scripts/setup.sh installs everything this tree uses, on a
# minimal Debian 12 root with nothing else installed: copies the checkout in,
# runs the set-up and the fetch script there, then checks inside the root that
# every dependency scripts/dependencies.py finds in the tree is present and
# that CMake configures with the given options (those of the test command).
#
#   scripts/check-fresh-root.sh [CMAKE_OPTIONS...]
#
# Prints "fresh root: N dependencies checked, M missing"; fails when M > 0.
# The pristine root and the downloaded packages stay in build-fresh-root/, so a
# second run starts from a copy and downloads nothing new. Needs root.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build-fresh-root"
pristine="$work/pristine"
archives="$work/archives"
target="$work/root"

"$root/scripts/setup.sh" tests
# shellcheck source=debian-archive.sh
. "$root/scripts/debian-archive.sh"

mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounted+=("$2")
}

if [ ! -f "$pristine/.complete" ]; then
  rm -rf "$pristine"
  mkdir -p "$work"
  mmdebstrap --quiet --variant=minbase bookworm "$pristine" \
    "deb [signed-by=$debian_archive_keyring] $debian_archive_uri bookworm main"
  touch "$pristine/.complete"
fi

rm -rf "$target"
cp -a "$pristine" "$target"
rm -f "$target/.complete"
# The machine's own apt sources and settings, without hooks that empty the
# package cache after each install.
rm -f "$target/etc/apt/sources.list"
cp -a /etc/apt/sources.list.d/. "$target/etc/apt/sources.list.d/"
for conf in /etc/apt/apt.conf.d/*; do
  grep -q 'Invoke' "$conf" || cp "$conf" "$target/etc/apt/apt.conf.d/"
done
cp -L /etc/resolv.conf "$target/etc/resolv.conf"
# Packages' maintainer scripts start no services in the root.
printf '#!/bin/sh\nexit 101\n' > "$target/usr/sbin/policy-rc.d"
chmod +x "$target/usr/sbin/policy-rc.d"

# The checkout as it stands, committed or not, without build output.
mkdir -p "$target/src" "$archives"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - --no-recursion) \
  | tar -xf - -C "$target/src"

bind /proc "$target/proc"
bind /sys "$target/sys"
bind /dev "$target/dev"
bind /dev/pts "$target/dev/pts"
bind "$archives" "$target/var/cache/apt/archives"

started=$(date +%s)
options=""
for option in "$@"; do options+=" $(printf '%q' "$option")"; done
chroot "$target" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 /bin/bash -c "set -e; cd /src
    ./scripts/setup.sh >/dev/null
    ./scripts/fetch-pybind11-py27.sh >/dev/null
    /usr/bin/python3 scripts/dependencies.py check --$options"
echo "fresh root: set-up and checks took $(( $(date +%s) - started )) s"

#!/usr/bin/env bash
# Fetches the header-only pybind11 2.6.2, the last release line that still
# builds Python 2.7 modules, from Debian 11 into third_party/ (or $1).
# The system's apt state is left alone: the download uses a private sources
# list, private package lists and a private cache. Idempotent: returns at once
# when the headers are already there.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dest="${1:-$root/third_party/pybind11-2.6.2}"
version="2.6.2-1"
suite="bullseye"

if [ -f "$dest/usr/include/pybind11/pybind11.h" ] \
   && grep -q '#define PYBIND11_VERSION_MINOR 6' "$dest/usr/include/pybind11/detail/common.h"; then
  exit 0
fi

# The mirror is the one this machine already uses for its own Debian release;
# it also carries the older suite. Take the first archive entry that is not
# the security one, in deb822 or one-line format.
sources_file="/etc/apt/sources.list.d/debian.sources"
uri=""
keyring=""
if [ -f "$sources_file" ]; then
  uri="$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' "$sources_file")"
  keyring="$(awk '/^Signed-By:/ { print $2; exit }' "$sources_file")"
elif [ -f /etc/apt/sources.list ]; then
  uri="$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($i !~ /security/) { print $i; exit } } }' /etc/apt/sources.list)"
fi
if [ -z "$uri" ]; then
  echo "fetch-pybind11-py27: no Debian archive URI found in $sources_file" >&2
  exit 1
fi
[ -n "$keyring" ] || keyring="/usr/share/keyrings/debian-archive-keyring.gpg"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/prefs"
echo "deb [signed-by=$keyring] $uri $suite main" > "$work/sources.list"

apt_opts=(
  -o "Dir::Etc::SourceList=$work/sources.list"
  -o "Dir::Etc::SourceParts=$work/parts"
  -o "Dir::Etc::PreferencesParts=$work/prefs"
  -o "Dir::State::Lists=$work/lists"
  -o "Dir::Cache=$work/cache"
  -o "APT::Get::List-Cleanup=0"
  # The private folders are not readable by apt's unprivileged download user.
  -o "APT::Sandbox::User=root"
)

apt-get "${apt_opts[@]}" -qq update
(cd "$work" && apt-get "${apt_opts[@]}" -qq download "pybind11-dev=$version")

deb="$(ls "$work"/pybind11-dev_*_all.deb)"
rm -rf "$dest.tmp"
mkdir -p "$dest.tmp"
dpkg -x "$deb" "$dest.tmp"
rm -rf "$dest"
mv "$dest.tmp" "$dest"
echo "fetch-pybind11-py27: pybind11 $version headers in $dest"

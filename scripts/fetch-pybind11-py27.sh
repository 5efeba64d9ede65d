#!/usr/bin/env bash
# Fetches what the Python 2.7 module builds against from Debian 11, whose
# archive still carries it, into third_party/:
#  - pybind11 2.6.2, the last release line that still builds 2.7 modules
#    (header-only), into third_party/pybind11-2.6.2 (or $1);
#  - Python 2.7 itself (interpreter, standard library, headers) into
#    third_party/python2.7, but only when this machine has no Python 2.7
#    interpreter with headers (stock Debian 12 has none). Its bin/python2.7
#    runs the unpacked interpreter on its own standard library.
# The system's apt state is left alone: the download uses a private sources
# list, private package lists and a private cache. Idempotent: returns at once
# when everything is there. PY27_FETCH=always fetches Python 2.7 regardless.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pybind11_dest="${1:-$root/third_party/pybind11-2.6.2}"
python_dest="$root/third_party/python2.7"
pybind11_version="2.6.2-1"
suite="bullseye"

have_pybind11() {
  [ -f "$pybind11_dest/usr/include/pybind11/pybind11.h" ] \
    && grep -q '#define PYBIND11_VERSION_MINOR 6' "$pybind11_dest/usr/include/pybind11/detail/common.h"
}

# The same places the build looks in (python/CMakeLists.txt).
have_python27() {
  local candidates=() pyenv_root
  if command -v pyenv >/dev/null && pyenv_root="$(pyenv root 2>/dev/null)"; then
    candidates+=("$pyenv_root"/versions/2.7*/bin/python2.7)
  fi
  candidates+=("${HOME:-/nonexistent}"/.pyenv/versions/2.7*/bin/python2.7 /usr/bin/python2.7)
  command -v python2.7 >/dev/null && candidates+=("$(command -v python2.7)")
  candidates+=("$python_dest/bin/python2.7")
  for exe in "${candidates[@]}"; do
    [ -x "$exe" ] && "$exe" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null && return 0
  done
  return 1
}

wanted=()
have_pybind11 || wanted+=("pybind11-dev=$pybind11_version")
fetch_python=0
if [ "${PY27_FETCH:-}" = always ] && [ ! -x "$python_dest/bin/python2.7" ]; then
  fetch_python=1
elif [ "${PY27_FETCH:-}" != always ] && ! have_python27; then
  fetch_python=1
fi
# The interpreter and the headers, with the two libraries of Debian 11 that
# Debian 12 replaced by newer sonames (hashlib/ssl and ctypes need them).
[ "$fetch_python" = 1 ] && wanted+=(python2.7-minimal libpython2.7-minimal libpython2.7-stdlib python2.7
                                    libpython2.7-dev libssl1.1 libffi7)
[ ${#wanted[@]} -gt 0 ] || exit 0

# The mirror this machine already uses for its own release also carries the
# older suite.
# shellcheck source=debian-archive.sh
. "$root/scripts/debian-archive.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/prefs" "$work/debs"
echo "deb [signed-by=$debian_archive_keyring] $debian_archive_uri $suite main" > "$work/sources.list"

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
(cd "$work/debs" && apt-get "${apt_opts[@]}" -qq download "${wanted[@]}")

# Unpacks the named packages' debs into a fresh directory that replaces $1.
unpack() {
  local dest="$1" deb
  shift
  rm -rf "$dest.tmp"
  mkdir -p "$dest.tmp"
  for name in "$@"; do
    for deb in "$work/debs/${name}"_*.deb; do
      dpkg -x "$deb" "$dest.tmp"
    done
  done
}

if ! have_pybind11; then
  unpack "$pybind11_dest" pybind11-dev
  rm -rf "$pybind11_dest"
  mv "$pybind11_dest.tmp" "$pybind11_dest"
  echo "fetch-pybind11-py27: pybind11 $pybind11_version headers in $pybind11_dest"
fi

if [ "$fetch_python" = 1 ]; then
  unpack "$python_dest" python2.7-minimal libpython2.7-minimal libpython2.7-stdlib python2.7 libpython2.7-dev \
    libssl1.1 libffi7
  usr="$python_dest.tmp/usr"
  arch="$(ls "$usr/include" | grep -- '-linux-gnu' | head -n 1)"
  # The generic pyconfig.h includes the multiarch one by a system path.
  cp "$usr/include/$arch/python2.7/pyconfig.h" "$usr/include/python2.7/pyconfig.h"
  mkdir -p "$python_dest.tmp/bin"
  cat > "$python_dest.tmp/bin/python2.7" <<'WRAPPER'
#!/bin/sh
# Debian 11's Python 2.7, unpacked here by scripts/fetch-pybind11-py27.sh.
here="$(cd "$(dirname "$0")/.." && pwd)"
arch="$(ls "$here/usr/include" | grep -- '-linux-gnu' | head -n 1)"
PYTHONHOME="$here/usr"
LD_LIBRARY_PATH="$here/usr/lib/$arch${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PYTHONHOME LD_LIBRARY_PATH
exec "$here/usr/bin/python2.7" "$@"
WRAPPER
  chmod +x "$python_dest.tmp/bin/python2.7"
  rm -rf "$python_dest"
  mv "$python_dest.tmp" "$python_dest"
  "$python_dest/bin/python2.7" -c 'import sys, sysconfig, ctypes, hashlib, ssl
assert sys.version_info[:2] == (2, 7), sys.version' \
    || { echo "fetch-pybind11-py27: the unpacked Python 2.7 does not run" >&2; exit 1; }
  echo "fetch-pybind11-py27: Python 2.7 with headers in $python_dest"
fi

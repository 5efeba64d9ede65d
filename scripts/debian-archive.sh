# Sourced: sets debian_archive_uri and debian_archive_keyring to the Debian
# archive this machine itself installs from (the first entry that is not the
# security archive, in deb822 or one-line format). The URI is read at run
# time and never written into the tree.
debian_archive_uri=""
debian_archive_keyring=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  debian_archive_uri="$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)"
  debian_archive_keyring="$(awk '/^Signed-By:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)"
elif [ -f /etc/apt/sources.list ]; then
  debian_archive_uri="$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($i !~ /security/) { print $i; exit } } }' /etc/apt/sources.list)"
fi
if [ -z "$debian_archive_uri" ]; then
  echo "no Debian archive URI found in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list" >&2
  exit 1
fi
[ -n "$debian_archive_keyring" ] || debian_archive_keyring="/usr/share/keyrings/debian-archive-keyring.gpg"

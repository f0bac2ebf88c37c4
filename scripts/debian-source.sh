#!/usr/bin/env bash
# Fetches the upstream source of a Debian source package and unpacks it:
#
#   scripts/debian-source.sh PACKAGE SUITE DEST     (prints the unpacked folder)
#
# through a private apt configuration: a deb-src line for SUITE on the mirror
# this machine's own apt sources name. The system's apt configuration is never
# changed; nothing fetched lands in the repository.
set -euo pipefail
package="$1" suite="$2" dest="$(realpath -m "$3")"

mirror() {
    local uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        uri=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "debian-source: no Debian mirror found in the apt sources" >&2; exit 1; }
    echo "$uri"
}

work="$dest/apt-$package"
rm -rf "$work"
mkdir -p "$work/lists/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) $suite main" >"$work/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$work/lists" -o Debug::NoLocking=1)
apt-get "${apt_private[@]}" update >/dev/null
# The package's .dsc is not always on the mirror; the upstream tarball is all
# a build needs, so a failed unpack is answered by unpacking it directly.
(cd "$work" && apt-get "${apt_private[@]}" source --download-only "$package" >/dev/null 2>&1 || true)
orig=$(ls "$work/${package}"_*.orig.tar.* 2>/dev/null | head -1)
[ -n "$orig" ] || { echo "debian-source: could not fetch the $package source ($suite)" >&2; exit 1; }
mkdir "$work/unpacked"
tar -xf "$orig" -C "$work/unpacked"
top=$(ls "$work/unpacked")
rm -rf "${dest:?}/$top"
mv "$work/unpacked/$top" "$dest/$top"
rm -rf "$work"
echo "$dest/$top"

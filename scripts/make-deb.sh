#!/usr/bin/env bash
# Makes the Debian package quolm-portwright_<version>_all.deb from the 32-bit
# and 64-bit builds: both programs and port listers, the launcher as the
# command quolm-portwright, quolm-listports, a desktop entry with the
# program's icon, the manual page, the sample table and the licence.
#
#   scripts/make-deb.sh [I686-BUILD X86_64-BUILD OUT-DIR]   (default build/i686 build/x86_64 build)
# Prints the package's path.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
B32=${1:-build/i686} B64=${2:-build/x86_64} OUT=${3:-build}
VERSION=$(sed -nE 's/^project\(QuolmPortwright VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[[ -n "$VERSION" ]] || { echo "make-deb: no version in CMakeLists.txt" >&2; exit 1; }
for f in "$B32/app/Quolm.exe" "$B32/tools/listports/listports.exe" "$B64/app/Quolm.exe" "$B64/tools/listports/listports.exe"; do
    [[ -f "$f" ]] || { echo "make-deb: $f is not built" >&2; exit 1; }
done

STAGE=$(mktemp -d "$OUT/deb-stage.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT
R=$STAGE/root
LIB=$R/usr/lib/quolm-portwright
DOC=$R/usr/share/doc/quolm-portwright
install -d "$R/DEBIAN" "$R/usr/bin" "$LIB/win32" "$LIB/win64" "$DOC/examples" \
    "$R/usr/share/applications" "$R/usr/share/icons/hicolor/48x48/apps" "$R/usr/share/man/man1"

install -m 755 scripts/quolm-wine.sh "$LIB/quolm-wine.sh"
install -m 644 scripts/wine-arch.sh "$LIB/wine-arch.sh"
# Wine needs no execute bit on a Windows program.
for arch in win32:$B32:i686 win64:$B64:x86_64; do
    IFS=: read -r dir build triple <<<"$arch"
    for exe in app/Quolm.exe tools/listports/listports.exe; do
        install -m 644 "$build/$exe" "$LIB/$dir/"
        "$triple-w64-mingw32-strip" "$LIB/$dir/$(basename "$exe")"
    done
done
ln -s ../lib/quolm-portwright/quolm-wine.sh "$R/usr/bin/quolm-portwright"
install -m 755 dist/linux/quolm-listports "$R/usr/bin/quolm-listports"
install -m 644 dist/linux/quolm-portwright.desktop "$R/usr/share/applications/"
convert app/resources/logo.png -resize 48x48 -background white -gravity center -extent 48x48 \
    -strip "$R/usr/share/icons/hicolor/48x48/apps/quolm-portwright.png"
gzip -9n <dist/linux/quolm-portwright.1 >"$R/usr/share/man/man1/quolm-portwright.1.gz"
ln -s quolm-portwright.1.gz "$R/usr/share/man/man1/quolm-listports.1.gz"
install -m 644 dist/quolm.dat "$DOC/examples/quolm.dat"

{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: Quolm-Portwright"
    echo
    echo "Files: *"
    echo "Copyright: $(sed -nE 's/^Copyright \(c\) (.*)$/\1/p' LICENSE)"
    echo "License: Expat"
    echo
    echo "License: Expat"
    # The licence's text after its title and copyright line, blank lines as " ."
    sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$DOC/copyright"
chmod 644 "$DOC/copyright"
DATE=$(date -R -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")
printf 'quolm-portwright (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- Quolm-Portwright developers <quolm-portwright@users.noreply.example.org>  %s\n' \
    "$VERSION" "$VERSION" "$DATE" | gzip -9n >"$DOC/changelog.gz"

SIZE=$(du -sk --exclude=DEBIAN "$R" | cut -f1)
cat >"$R/DEBIAN/control" <<CONTROL
Package: quolm-portwright
Version: $VERSION
Architecture: all
Maintainer: Quolm-Portwright developers <quolm-portwright@users.noreply.example.org>
Installed-Size: $SIZE
Depends: wine, wine64 | wine32
Section: electronics
Priority: optional
Description: serial command console for USB serial adapters, under Wine
 Quolm-Portwright sends the predefined commands of a table to a device on a
 serial port and shows the replies in a log view, which is also a small
 terminal. It is a Windows program; the command quolm-portwright maps your
 adapters to COM ports of a Wine prefix (by their /dev/serial/by-id names,
 so each keeps its COM number) and starts it. quolm-listports shows the
 COM ports and the Linux device of each.
CONTROL
(cd "$R" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$R/DEBIAN/md5sums"
DEB="$OUT/quolm-portwright_${VERSION}_all.deb"
dpkg-deb --root-owner-group -Zxz --build "$R" "$DEB" >/dev/null
echo "$DEB"

#!/usr/bin/env bash
# Builds the Debian package from this build directory, unpacks it into a scratch root and runs the
# programs from there; checks the dependencies dpkg-shlibdeps found and the desktop files.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/zephraftp_*.deb)
fail() { echo "FAIL: $*"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6network6 libcurl4 libc6 qt6-qpa-plugins; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done

root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/zephraftp usr/bin/zephraftp-cli \
         usr/share/applications/org.zephraftp.ZephraFTP.desktop \
         usr/share/metainfo/org.zephraftp.ZephraFTP.metainfo.xml \
         usr/share/icons/hicolor/48x48/apps/zephraftp.png \
         usr/share/icons/hicolor/scalable/apps/zephraftp.svg \
         usr/share/man/man1/zephraftp.1 usr/share/man/man1/zephraftp-cli.1; do
  [ -e "$root/$f" ] || fail "the package lacks $f"
done

out=$("$root/usr/bin/zephraftp-cli" --version)
[[ $out =~ ^zephraftp-cli\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "zephraftp-cli --version said: $out"
out=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/zephraftp" --version)
[[ $out =~ ^ZephraFTP\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "zephraftp --version said: $out"
"$root/usr/bin/zephraftp-cli" --help | grep -q '^usage: zephraftp-cli' || fail "zephraftp-cli --help"

grep -qx 'Exec=zephraftp' "$root/usr/share/applications/org.zephraftp.ZephraFTP.desktop" || fail "desktop Exec"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/org.zephraftp.ZephraFTP.desktop"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/org.zephraftp.ZephraFTP.metainfo.xml" ||
    appstreamcli validate --no-net "$root/usr/share/metainfo/org.zephraftp.ZephraFTP.metainfo.xml"
fi
man -l "$root/usr/share/man/man1/zephraftp-cli.1" >/dev/null 2>&1 || true
echo "package ok: $(basename "$deb")"

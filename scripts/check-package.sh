#!/usr/bin/env bash
# Builds the .deb of build/ and installs it on a clean, minimal Debian 12
# system made in the build tree, the way a user installs it (apt-get install
# ./vistereo_*.deb fetches the dependencies the package names and nothing
# else); then the installed vistereo-cli converts the example there, the
# desktop program starts (headless) and the bash completion loads. Needs root
# (debootstrap, chroot) and Debian's mirror. Prints the time of each step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
system="$build/package-check/system"
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

step() { printf '[package-check %4ds] %s\n' "$SECONDS" "$*"; }

cleanup() {
  mountpoint -q "$system/proc" && umount "$system/proc"
  return 0
}
trap cleanup EXIT

step "building the package"
rm -f "$build"/vistereo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vistereo_*.deb)
dpkg-deb -I "$deb" | sed -n '/Package:/p;/Version:/p;/Depends:/p;/Recommends:/p'

step "lintian: no errors and no warnings, pedantic tags included"
if command -v lintian >/dev/null; then
  status=0
  tags=$(lintian --pedantic --fail-on error,warning "$deb" 2>&1) || status=$?
  printf '%s\n' "$tags" | grep -v 'running with root privileges' || true
  [ "$status" -eq 0 ] || { echo "lintian found errors or warnings"; exit 1; }
else
  echo "lintian is not installed: skipped"
fi

step "making a minimal Debian 12 system"
cleanup
rm -rf "$system"
mkdir -p "$(dirname "$system")"
debootstrap --variant=minbase bookworm "$system" "$mirror" >"$build/package-check/debootstrap.log" 2>&1 ||
  { tail -20 "$build/package-check/debootstrap.log"; exit 1; }
printf 'deb %s bookworm main\ndeb %s bookworm-updates main\ndeb %s-security bookworm-security main\n' \
  "$mirror" "$mirror" "$mirror" >"$system/etc/apt/sources.list"
cp /etc/resolv.conf "$system/etc/resolv.conf"
mount -t proc proc "$system/proc"

step "apt-get install ./$(basename "$deb")"
cp "$deb" "$system/tmp/"
chroot "$system" apt-get update -qq
chroot "$system" sh -c "cd /tmp && apt-get install -y -qq --no-install-recommends ./$(basename "$deb")" \
  >"$build/package-check/install.log" 2>&1 || { tail -30 "$build/package-check/install.log"; exit 1; }

step "the installed vistereo-cli converts the example"
chroot "$system" sh -ec '
  cp -r /usr/share/doc/vistereo/examples /tmp/example
  mkdir -p /tmp/example/output
  cd /tmp/example
  vistereo-cli convert --left-lens "Equisolid circular fisheye" --right-lens "Equisolid circular fisheye" \
    --points 560,1060,554,1048,820,700,822,687 --height 1024
  test -s output/LROut.jpg'

step "the libraries the programs open on first use are installed"
# FFmpeg's and OpenCV's image codecs are opened by soname when first needed,
# not linked: their names are in the programs' text.
sonames=$(grep -aoE 'lib(avformat|avcodec|avutil|swscale|swresample|opencv_imgcodecs)\.so\.[0-9]+' \
  "$system/usr/bin/vistereo-cli" | sort -u)
[ "$(echo "$sonames" | wc -w)" -eq 6 ] || { echo "expected six sonames in vistereo-cli, found: $sonames"; exit 1; }
for soname in $sonames; do
  chroot "$system" sh -c "ldconfig -p | grep -qF '$soname '" || { echo "$soname is not installed"; exit 1; }
done

step "the installed desktop program finds its libraries and starts"
if chroot "$system" ldd /usr/bin/vistereo | grep "not found"; then exit 1; fi
status=0
chroot "$system" env QT_QPA_PLATFORM=offscreen timeout 5 vistereo >/dev/null 2>&1 || status=$?
# Still running when the timeout ended it (124): the main window was up.
[ "$status" -eq 124 ] || { echo "vistereo ended with status $status instead of running"; exit 1; }

step "the manual pages and the completion are in place"
chroot "$system" test -s /usr/share/man/man1/vistereo-cli.1.gz
chroot "$system" test -s /usr/share/man/man1/vistereo.1.gz
chroot "$system" bash -c 'source /usr/share/bash-completion/completions/vistereo-cli && complete -p vistereo-cli' >/dev/null
step "done"

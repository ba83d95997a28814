#!/bin/sh
# check_package.sh BUILD_DIR [KEEP_DIR]: builds the Debian package of a build
# tree with CPack and checks it: the files it holds, its control fields, the
# programs (and their version), manual pages and documents it installs, and
# Debian's policy as lintian reads it (no error); as root, also an
# install and a removal with dpkg in a scratch root. The package is left in
# KEEP_DIR when one is given (scripts/release).
set -eu
build=$1
keep=${2:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/smformat_*.deb)

dpkg-deb -c "$deb" >"$out/contents"
for file in ./usr/bin/smformat ./usr/bin/smcard ./usr/share/man/man1/smformat.1.gz ./usr/share/man/man1/smcard.1.gz \
  ./usr/share/doc/smformat/README.md ./usr/share/doc/smformat/copyright ./usr/share/doc/smformat/changelog.gz; do
  grep -q " $file\$" "$out/contents" || { echo "the package lacks $file"; cat "$out/contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = smformat ] || { echo "wrong package name"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || { echo "no dependency on the C library"; exit 1; }

dpkg-deb -x "$deb" "$out/root"
"$out/root/usr/bin/smformat" --help | grep -q 'smformat --list' || { echo "the packaged smformat does not run"; exit 1; }
"$out/root/usr/bin/smcard" --help | grep -q 'smcard create' || { echo "the packaged smcard does not run"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
for program in smformat smcard; do
  [ "$("$out/root/usr/bin/$program" --version)" = "$program $version" ] || { echo "$program --version is not $version"; exit 1; }
done
for page in smformat smcard; do
  gzip -dc "$out/root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH $(echo $page | tr a-z A-Z) 1 .*\"smformat $version\"" ||
    { echo "the manual page of $page is not there"; exit 1; }
done
# The README a user gets is the user's guide, not the developers'.
grep -q 'Is your reader supported?' "$out/root/usr/share/doc/smformat/README.md" ||
  { echo "the packaged README is not the user's guide"; exit 1; }
lintian --tag-display-limit 0 "$deb" >"$out/lintian" 2>&1 || { echo "lintian finds errors:"; cat "$out/lintian"; exit 1; }

if [ "$(id -u)" = 0 ]; then
  root="$out/dpkg-root"
  mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
  touch "$root/var/lib/dpkg/status"
  dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >/dev/null 2>&1
  dpkg --root="$root" -L smformat | grep -q '^/usr/bin/smformat$' || { echo "dpkg did not install smformat"; exit 1; }
  dpkg --root="$root" -r smformat >/dev/null 2>&1
  [ ! -e "$root/usr/bin/smformat" ] || { echo "dpkg did not remove smformat"; exit 1; }
fi
if [ -n "$keep" ]; then cp "$deb" "$keep/"; fi
echo "package ok: $(basename "$deb")"

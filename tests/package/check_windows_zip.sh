#!/bin/sh
# check_windows_zip.sh BUILD_DIR OBJDUMP [KEEP_DIR]: builds the Windows zip of
# a cross build tree with CPack and checks it: one folder named like the zip
# holding exactly smformatw.exe, smformat.exe, smcard.exe and README.txt;
# programs for the zip's architecture that show the project's version; a
# README.txt with Windows line ends that names the version; for the x86 zip
# programs that 98 SE, ME, 2000 and XP all load (scripts/check-imports). The
# zip is left in KEEP_DIR when one is given (scripts/release).
set -eu
build=$1
objdump=$2
keep=${3:-}
source=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
zip=$(ls "$out"/smformat-*-windows-*.zip)
name=$(basename "$zip" .zip)
version=$(echo "$name" | sed 's/^smformat-\(.*\)-windows-.*$/\1/')
arch=${name##*-}
fail() { echo "$name.zip: $*"; exit 1; }

(cd "$out" && cmake -E tar tf "$zip") | sort >"$out/contents"
printf '%s\n' "$name/README.txt" "$name/smcard.exe" "$name/smformat.exe" "$name/smformatw.exe" | sort >"$out/expected"
cmp -s "$out/contents" "$out/expected" || fail "holds $(tr '\n' ' ' <"$out/contents")instead of $(tr '\n' ' ' <"$out/expected")"

mkdir "$out/x" && (cd "$out/x" && cmake -E tar xf "$zip")
files=$out/x/$name
case $arch in
  x86) format=pei-i386 ;;
  x64) format=pei-x86-64 ;;
  *) fail "no such download: windows-$arch" ;;
esac
for program in smformatw smformat smcard; do
  "$objdump" -f "$files/$program.exe" | grep -q "file format $format" || fail "$program.exe is not a $format program"
  strings -el "$files/$program.exe" | grep -qx "$version" || fail "$program.exe has no version $version in its version resource"
done
grep -q "^smformat $version for Windows (windows-$arch)" "$files/README.txt" || fail "README.txt does not name version $version"
[ "$(grep -c "$(printf '\r')\$" "$files/README.txt")" = "$(wc -l <"$files/README.txt")" ] ||
  fail "README.txt has lines that do not end as Windows ends them"
[ "$arch" != x86 ] || "$source/scripts/check-imports" "$objdump" "$files"/*.exe >"$out/imports" ||
  fail "$(cat "$out/imports")"

if [ -n "$keep" ]; then cp "$zip" "$keep/"; fi
echo "windows zip ok: $name.zip"

#!/bin/sh
# check_reader_list.sh SOURCE_DIR: every supported reader of the built-in
# list (engine/reader_device.cpp) is named where users look for it, and no
# other reader is: the README (Linux and Windows forms), both manual pages
# and the Windows README.txt (Windows form).
set -eu
src=$1
ids=$(grep -o 'VID_[0-9A-F]\{4\}&PID_[0-9A-F]\{4\}' "$src/engine/reader_device.cpp" | sort -u)
[ -n "$ids" ] || { echo "no reader list in engine/reader_device.cpp"; exit 1; }
short=$(echo "$ids" | sed 's/VID_\(....\)&PID_\(....\)/\1:\2/' | tr A-F a-f)
for doc in README.md resources/windows-readme.txt.in; do
  named=$(grep -o 'VID_[0-9A-F]\{4\}&PID_[0-9A-F]\{4\}' "$src/$doc" | sort -u)
  [ "$named" = "$ids" ] || { echo "$doc names the readers $named, not $ids"; exit 1; }
done
for doc in README.md man/smformat.1 man/smcard.1; do
  for id in $short; do grep -q "$id" "$src/$doc" || { echo "$doc does not name the reader $id"; exit 1; }; done
done
echo "reader list ok"

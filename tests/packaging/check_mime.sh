#!/usr/bin/env bash
# check_mime.sh MIME_XML DESKTOP_FILE: the firmware file type, put into a
# private MIME database, names *.QLB and *.qlb files, and the desktop entry
# takes that type and passes the file on.
set -euo pipefail
xml=$1
desktop=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/share/mime/packages"
cp "$xml" "$dir/share/mime/packages/ql480tx-upgrade.xml"
XDG_DATA_DIRS="$dir/share:/usr/share" update-mime-database "$dir/share/mime"
printf 'QL480TX-V5 1.02\0\1\2\3' > "$dir/firmware.QLB"
cp "$dir/firmware.QLB" "$dir/lower.qlb"
for f in firmware.QLB lower.qlb; do
  type=$(XDG_DATA_DIRS="$dir/share:/usr/share" gio info -a standard::content-type "$dir/$f" |
    sed -n 's/^ *standard::content-type: //p')
  if [ "$type" != application/x-ql480tx-firmware ]; then
    echo "check_mime.sh: $f is '$type', not application/x-ql480tx-firmware" >&2
    exit 1
  fi
done
grep -qx 'MimeType=application/x-ql480tx-firmware;' "$desktop" || {
  echo "check_mime.sh: the desktop entry does not take application/x-ql480tx-firmware" >&2
  exit 1
}
grep -q '^Exec=ql480tx-upgrade %f$' "$desktop" || {
  echo "check_mime.sh: the desktop entry does not pass the file on (%f)" >&2
  exit 1
}
echo "both names are application/x-ql480tx-firmware; the desktop entry takes them"

#!/usr/bin/env bash
# Builds the Debian package, checks what it holds and declares, and runs the programs from an
# unpacked copy: the host loads the installed plug-in and quits cleanly.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tesmor_*.deb)
# Whole outputs first: with pipefail, an early-exiting grep -q would fail the pipeline.
info=$(dpkg-deb --info "$deb")
grep -q 'Depends:.*libmodbus5' <<<"$info" || { echo "no dependency on libmodbus5"; echo "$info"; exit 1; }
dpkg-deb --contents "$deb" > "$work/contents"
for f in 'usr/bin/tesmor-host' 'usr/bin/tesmor-chrom' 'usr/lib.*/tesmor/tesmor\.so' \
         'usr/lib.*/tesmor/tesmorENU\.so' 'usr/include/tesmor/host_api\.h' 'usr/share/doc/tesmor/README\.md'; do
  grep -q "\./$f\$" "$work/contents" || { echo "missing from the package: $f"; exit 1; }
done

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/tesmor-chrom" --help >/dev/null
out=$(echo quit | "$work/root/usr/bin/tesmor-host" --headless --language 1033 --data-dir "$work/lab" 2>&1)
grep -q "loaded $work/root/usr/bin/\.\./lib.*/tesmor/tesmor\.so" <<<"$out" || { echo "$out"; exit 1; }
grep -q 'menu item "Data/Calculations/Velmar: Modbus"' <<<"$out" || { echo "$out"; exit 1; }
echo "package $(basename "$deb") is complete and runs"

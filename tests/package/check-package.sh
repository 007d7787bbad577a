#!/usr/bin/env bash
# Builds the Debian package, checks what it holds and declares, and runs the programs from an
# unpacked copy: the host loads the installed plug-in and quits cleanly. As root, it also installs
# the package with apt-get, runs the installed host and removes the package again.
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
out=$("$work/root/usr/bin/tesmor-host" --version)
grep -q "^plug-in .*/tesmor/tesmor\.so: " <<<"$out" || { echo "$out"; exit 1; }

if [ "$(id -u)" != 0 ]; then
  echo "not root: the apt-get installation is not tried"
elif [ "$(dpkg-query -W -f='${Status}' tesmor 2>/dev/null)" = "install ok installed" ]; then
  echo "a tesmor package is installed already: it is left as it is, the apt-get installation is not tried"
else
  trap 'apt-get remove -y --purge tesmor >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; exit 1; }
  out=$(/usr/bin/tesmor-host --version)
  grep -q "^plug-in /usr/bin/\.\./lib.*/tesmor/tesmor\.so: " <<<"$out" || { echo "$out"; exit 1; }
  echo "$out"
fi
echo "package $(basename "$deb") is complete and runs"

#!/bin/sh
# Builds the Debian package with CPack and checks what it holds: the
# programs, the libraries with a run path that works where they are
# installed, the systemd unit and the maintainer scripts that register the
# relay control.
#   check_package.sh BUILD_DIR CPACK
set -eu
build=$1
cpack=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check_package: $*"; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"; fail "cpack failed"; }
set -- "$scratch"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one package, found: $*"
deb=$1

dpkg-deb -c "$deb" | awk '{print $NF}' >"$scratch/files"
for f in ./usr/bin/Varnel ./usr/bin/Tessik ./usr/bin/component-register ./usr/bin/varnel-data \
         ./usr/bin/varnel-analyse ./usr/bin/qda7100-sim ./usr/bin/weather-station-sim \
         ./usr/lib/varnel/libMorlex.so ./usr/lib/varnel/libKivo7100.so ./usr/lib/varnel/libplatform_win.so \
         ./usr/lib/systemd/system/varnel-site@.service; do
  grep -qx "$f" "$scratch/files" || fail "$f is not in the package"
done
if grep -q "test" "$scratch/files"; then fail "test programs in the package: $(grep test "$scratch/files")"; fi

dpkg-deb -e "$deb" "$scratch/control"
for s in postinst prerm postrm; do
  [ -x "$scratch/control/$s" ] || fail "maintainer script $s missing or not executable"
done
grep -q '/usr/bin/component-register" /s "/usr/lib/varnel/libKivo7100.so"' "$scratch/control/postinst" ||
  fail "postinst does not register the relay control"
grep -q '/usr/bin/component-register" /u /s "/usr/lib/varnel/libKivo7100.so"' "$scratch/control/prerm" ||
  fail "prerm does not unregister the relay control"
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libqt6widgets6*) ;; *) fail "Depends lacks the Qt libraries: $depends" ;; esac

# Unpacked anywhere, the programs and libraries find each other through
# their run paths alone.
dpkg-deb -x "$deb" "$scratch/root"
unset LD_LIBRARY_PATH
for lib in "$scratch"/root/usr/lib/varnel/*.so "$scratch"/root/usr/bin/*; do
  if ldd "$lib" | grep -q "not found"; then fail "$lib: $(ldd "$lib" | grep "not found")"; fi
done
grep -qx 'ExecStart=/usr/bin/Tessik' "$scratch/root/usr/lib/systemd/system/varnel-site@.service" ||
  fail "the unit does not start /usr/bin/Tessik"
for program in Varnel Tessik; do
  "$scratch/root/usr/bin/$program" --help >"$scratch/help" 2>&1 || fail "$program --help failed: $(cat "$scratch/help")"
done

# The maintainer scripts, pointed at the unpacked tree, a scratch registry
# and no systemd: postinst registers the relay control's module, prerm
# takes it out again.
export COMPONENT_REGISTRY="$scratch/registry.ini"
for s in postinst prerm; do
  sed -e "s#/usr/#$scratch/root/usr/#g" -e "s#/run/systemd/system#$scratch/no-systemd#g" \
    "$scratch/control/$s" >"$scratch/$s"
done
sh "$scratch/postinst" configure || fail "postinst configure failed"
grep -qx "Module=$scratch/root/usr/lib/varnel/libKivo7100.so" "$COMPONENT_REGISTRY" ||
  fail "postinst did not register the relay control: $(cat "$COMPONENT_REGISTRY")"
sh "$scratch/prerm" remove || fail "prerm remove failed"
if grep -q "libKivo7100" "$COMPONENT_REGISTRY"; then fail "prerm left the relay control registered"; fi
echo "package $(basename "$deb") holds $(wc -l <"$scratch/files") entries"

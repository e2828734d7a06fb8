#!/bin/sh
# Builds the Debian package with CPack and checks what it holds: the
# programs, the libraries with a run path that works where they are
# installed, the systemd units and the maintainer scripts that make the
# user varnel and the card's device folder and register the relay control.
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
         ./usr/bin/varnel-analyse ./usr/bin/varnel-collect ./usr/bin/varnel-web \
         ./usr/bin/qda7100-sim ./usr/bin/weather-station-sim \
         ./usr/lib/varnel/libMorlex.so ./usr/lib/varnel/libKivo7100.so ./usr/lib/varnel/libplatform_win.so \
         ./usr/lib/systemd/system/varnel-site@.service ./usr/lib/systemd/system/varnel-collect@.service \
         ./usr/lib/systemd/system/varnel-web.service ./usr/lib/sysusers.d/varnel.conf \
         ./usr/lib/tmpfiles.d/varnel.conf ./etc/varnel/varnel-web.ini; do
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
grep -qx /etc/varnel/varnel-web.ini "$scratch/control/conffiles" || fail "the dashboard's settings are no conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6httpserver6 libpq5 libsqlite3 libjs-dygraphs; do
  case $depends in *"$d"*) ;; *) fail "Depends lacks $d: $depends" ;; esac
done

# Unpacked anywhere, the programs and libraries find each other through
# their run paths alone.
dpkg-deb -x "$deb" "$scratch/root"
unset LD_LIBRARY_PATH
for lib in "$scratch"/root/usr/lib/varnel/*.so "$scratch"/root/usr/bin/*; do
  if ldd "$lib" | grep -q "not found"; then fail "$lib: $(ldd "$lib" | grep "not found")"; fi
done
grep -qx 'ExecStart=/usr/bin/Tessik' "$scratch/root/usr/lib/systemd/system/varnel-site@.service" ||
  fail "the unit does not start /usr/bin/Tessik"
for program in Varnel Tessik varnel-collect varnel-web; do
  "$scratch/root/usr/bin/$program" --help >"$scratch/help" 2>&1 || fail "$program --help failed: $(cat "$scratch/help")"
done

# The maintainer scripts on the unpacked tree as the root of the system
# being installed (DPKG_ROOT, a minimal /etc of its own), with a scratch
# registry and no systemd: postinst makes the user and the device folder
# there and registers the relay control's module, prerm takes it out again.
export COMPONENT_REGISTRY="$scratch/registry.ini"
for s in postinst prerm; do
  sed -e "/component-register/s#/usr/#$scratch/root/usr/#g" -e "s#/run/systemd/system#$scratch/no-systemd#g" \
    "$scratch/control/$s" >"$scratch/$s"
done
mkdir -p "$scratch/root/etc" "$scratch/root/run"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$scratch/root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$scratch/root/etc/group"
printf 'root:*:19000:0:99999:7:::\n' >"$scratch/root/etc/shadow"
printf 'root:*::\ndialout:*::\n' >"$scratch/root/etc/gshadow"
DPKG_ROOT="$scratch/root" sh "$scratch/postinst" configure >"$scratch/postinst.log" 2>&1 ||
  { cat "$scratch/postinst.log"; fail "postinst configure failed"; }
user=$(grep '^varnel:' "$scratch/root/etc/passwd") || fail "postinst made no user varnel: $(cat "$scratch/postinst.log")"
uid=$(echo "$user" | cut -d: -f3)
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] || fail "varnel is no system user: $user"
case $user in */nologin) ;; *) fail "varnel can log in: $user" ;; esac
grep -q '^dialout:.*[:,]varnel\(,\|$\)' "$scratch/root/etc/group" ||
  fail "varnel is not in dialout: $(grep dialout "$scratch/root/etc/group")"
[ "$(stat -c '%u %a' "$scratch/root/run/qda7100" 2>/dev/null)" = "$uid 700" ] ||
  fail "the card's device folder is not varnel's alone: $(stat -c '%u %a' "$scratch/root/run/qda7100" 2>&1)"
grep -qx "Module=$scratch/root/usr/lib/varnel/libKivo7100.so" "$COMPONENT_REGISTRY" ||
  fail "postinst did not register the relay control: $(cat "$COMPONENT_REGISTRY")"
sh "$scratch/prerm" remove || fail "prerm remove failed"
if grep -q "libKivo7100" "$COMPONENT_REGISTRY"; then fail "prerm left the relay control registered"; fi
echo "package $(basename "$deb") holds $(wc -l <"$scratch/files") entries"

#!/bin/sh
# Installs the build into a scratch prefix and checks the installed systemd
# units: systemd-analyze verify (their programs exist and are executable,
# their settings are known), no unit runs as root, and each is sandboxed
# well enough that systemd-analyze security rates its exposure at most
# MAX_EXPOSURE (0 is a service that can do nothing, 10 one that can do
# anything).  Skipped (77) without systemd-analyze.
#   verify_unit.sh BUILD_DIR CMAKE
set -eu
build=$1
cmake=$2
max_exposure=3.0
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed: skipped"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "verify_unit: $*"; exit 1; }
"$cmake" --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 || {
  cat "$scratch/install.log"; exit 1; }
units=$scratch/usr/lib/systemd/system
grep -qx "ExecStart=$scratch/usr/bin/Tessik" "$units/varnel-site@.service" ||
  fail "the site unit does not start the installed Tessik: $(grep ExecStart "$units/varnel-site@.service")"
grep -q "^ExecStart=$scratch/usr/bin/varnel-collect " "$units/varnel-collect@.service" ||
  fail "the collector unit does not start the installed varnel-collect"
grep -q "^ExecStart=$scratch/usr/bin/varnel-web --config $scratch/usr/etc/varnel/varnel-web.ini " \
  "$units/varnel-web.service" || fail "the dashboard unit does not start varnel-web with its installed settings"
[ -f "$scratch/usr/etc/varnel/varnel-web.ini" ] || fail "the dashboard's settings are not installed"

# A template is verified as an instance; the site folder must exist as
# WorkingDirectory, so the instance names the scratch folder itself.
mkdir -p "$scratch/units"
site=$(systemd-escape --path "$scratch")
for unit in "varnel-site@$site.service:varnel-site@.service" "varnel-collect@$site.service:varnel-collect@.service" \
            "varnel-web.service:varnel-web.service"; do
  instance=$scratch/units/${unit%%:*}
  template=$units/${unit#*:}
  cp "$template" "$instance"
  grep -qx "User=varnel" "$instance" || fail "$template does not run as the user varnel"
  if grep -q "^User=root" "$instance"; then fail "$template runs as root"; fi
  if ! systemd-analyze verify "$instance" >"$scratch/verify.log" 2>&1 || [ -s "$scratch/verify.log" ]; then
    echo "systemd-analyze verify $instance:"
    cat "$scratch/verify.log"
    exit 1
  fi
  systemd-analyze security --offline=true "$instance" >"$scratch/security.log" 2>&1 ||
    { cat "$scratch/security.log"; fail "systemd-analyze security failed on $template"; }
  exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$scratch/security.log")
  [ -n "$exposure" ] || { cat "$scratch/security.log"; fail "no exposure level for $template"; }
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
    { grep "✗" "$scratch/security.log"; fail "$template is rated $exposure, above $max_exposure"; }
  echo "verified: ${unit#*:} (exposure $exposure)"
done

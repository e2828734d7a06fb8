#!/bin/sh
# Installs the build into a scratch prefix and checks the installed systemd
# unit with systemd-analyze verify (its programs must exist and be
# executable, its settings known).  Skipped (77) without systemd-analyze.
#   verify_unit.sh BUILD_DIR CMAKE
set -eu
build=$1
cmake=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed: skipped"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$cmake" --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 || {
  cat "$scratch/install.log"; exit 1; }
unit=$scratch/usr/lib/systemd/system/varnel-site@.service
grep -qx "ExecStart=$scratch/usr/bin/Tessik" "$unit" || { echo "ExecStart does not name the installed Tessik:"; cat "$unit"; exit 1; }
# A template is verified as an instance; the site folder must exist as
# WorkingDirectory, so the instance names the scratch folder itself.
instance=$scratch/units/varnel-site@$(systemd-escape --path "$scratch").service
mkdir -p "$scratch/units"
cp "$unit" "$instance"
if ! systemd-analyze verify "$instance" >"$scratch/verify.log" 2>&1 || [ -s "$scratch/verify.log" ]; then
  echo "systemd-analyze verify $instance:"
  cat "$scratch/verify.log"
  exit 1
fi
echo "verified: $unit"

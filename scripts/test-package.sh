#!/usr/bin/env bash
# Builds the Debian package and checks what an installer meets: its files and
# conffiles, lintian's verdict and, as root (or with passwordless sudo), installing
# it: the program, the gateway's account, data folder and unit, then purging it.
# Where systemd runs, installing starts the service until the purge stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
skipped=0
pass() {
  passed=$((passed + 1))
  echo "ok: $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAILED: $1"
}
skip() {
  skipped=$((skipped + 1))
  echo "skipped: $1"
}
finish() {
  echo "package: $passed passed, $failed failed, $skipped skipped"
  if [ "$failed" -eq 0 ]; then exit 0; fi
  exit 1
}

deb="$(scripts/package.sh)"
echo "package: $deb"
# The program's own version: the package's without its Debian revision.
version="$(dpkg-deb -f "$deb" Version)"
version="${version%-*}"

expected=(
  /usr/bin/quillon
  /usr/bin/quillon-window
  /usr/bin/quillon-bussim
  /lib/systemd/system/quillon.service
  /usr/lib/modules-load.d/quillon.conf
  /etc/quillon/Quillon.ini
  /usr/share/doc/quillon/README.md
  /usr/share/doc/quillon/user-guide.md
  /usr/share/doc/quillon/copyright
  /usr/share/doc/quillon/changelog.Debian.gz
  /usr/share/man/man1/quillon.1.gz
  /usr/share/applications/quillon.desktop
  /usr/share/icons/hicolor/scalable/apps/quillon.svg
)
contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')"
missing=()
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$contents" || missing+=("$path")
done
if [ ${#missing[@]} -eq 0 ]; then
  pass "the package holds the programs, the unit, the settings, the docs, the desktop entry, the icon"
else
  fail "the package lacks ${missing[*]}"
fi

conffiles="$(dpkg-deb -I "$deb" conffiles 2>/dev/null || true)"
if grep -qx /etc/quillon/Quillon.ini <<<"$conffiles"; then
  pass "/etc/quillon/Quillon.ini is a conffile"
else
  fail "/etc/quillon/Quillon.ini is not listed in conffiles"
fi

lintian_out="$(lintian --allow-root "$deb" 2>&1 || true)"
[ -n "$lintian_out" ] && printf '%s\n' "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
  fail "lintian reports errors"
else
  pass "lintian reports no error"
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    skip "installing: needs root or passwordless sudo"
    finish
  fi
fi
status="$(dpkg-query -W -f='${db:Status-Status}' quillon 2>/dev/null || true)"
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  skip "installing: quillon is on this machine already ($status), and is left alone"
  finish
fi

account_was_there=false
getent passwd quillon >/dev/null && account_was_there=true
installed=false
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  if $installed; then
    "${as_root[@]}" dpkg --purge quillon >/dev/null 2>&1 || true
    installed=false
  fi
  # The account that the package keeps on purge, made by this test alone.
  if ! $account_was_there && getent passwd quillon >/dev/null; then
    "${as_root[@]}" deluser --quiet --system quillon >/dev/null 2>&1 || true
    if getent group quillon >/dev/null; then
      "${as_root[@]}" delgroup --quiet --system quillon >/dev/null 2>&1 || true
    fi
  fi
}
trap cleanup EXIT

installed=true
if ! "${as_root[@]}" dpkg -i "$deb"; then
  fail "dpkg -i installs the package"
  finish
fi
pass "dpkg -i installs the package"

if [ "$(/usr/bin/quillon --version 2>&1)" = "quillon $version" ]; then
  pass "/usr/bin/quillon --version says $version"
else
  fail "/usr/bin/quillon --version says \"$(/usr/bin/quillon --version 2>&1 || true)\", not quillon $version"
fi

if [[ " $(id -nG quillon 2>/dev/null || true) " == *" dialout "* ]]; then
  pass "the account quillon exists and is in dialout"
else
  fail "no account quillon in the group dialout"
fi

owner="$(stat -c '%U:%G %a' /var/lib/quillon 2>/dev/null || echo missing)"
if [ "$owner" = "quillon:quillon 750" ]; then
  pass "/var/lib/quillon belongs to quillon, mode 750"
else
  fail "/var/lib/quillon is $owner, not quillon:quillon 750"
fi

if [ -L /etc/systemd/system/multi-user.target.wants/quillon.service ]; then
  pass "quillon.service is enabled"
else
  fail "quillon.service is not enabled"
fi

if command -v systemd-analyze >/dev/null; then
  if verify_out="$(systemd-analyze verify /lib/systemd/system/quillon.service 2>&1)" &&
    [ -z "$verify_out" ]; then
    pass "systemd-analyze verify finds nothing in quillon.service"
  else
    printf '%s\n' "$verify_out"
    fail "systemd-analyze verify complains about quillon.service"
  fi
else
  skip "systemd-analyze verify: systemd-analyze is not installed"
fi

"${as_root[@]}" dpkg --purge quillon >/dev/null
installed=false
left=()
for path in /usr/bin/quillon /etc/quillon /var/lib/quillon \
  /etc/systemd/system/multi-user.target.wants/quillon.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
if [ ${#left[@]} -eq 0 ]; then
  pass "dpkg --purge removes the programs, the settings, the data folder and the unit's link"
else
  fail "dpkg --purge leaves ${left[*]}"
fi

finish

#!/usr/bin/env bash
# Builds the Debian packages, quillon and quillon-window, and checks what an
# installer meets, one check per situation: their files, their dependencies,
# the manual pages, lintian's verdict and, as root (or with passwordless sudo),
# installing them: the service set up, its unit, the settings file's owner and
# mode, its generated key, what --connection-info prints, an upgrade that keeps
# an administrator's settings, the upgrade from the conffile, and purging.
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

mapfile -t debs < <(scripts/package.sh)
gateway_deb="" window_deb=""
for deb in "${debs[@]}"; do
  case "$(dpkg-deb -f "$deb" Package)" in
  quillon) gateway_deb="$deb" ;;
  quillon-window) window_deb="$deb" ;;
  esac
  echo "package: $deb"
done
if [ -z "$gateway_deb" ] || [ -z "$window_deb" ]; then
  fail "scripts/package.sh makes quillon and quillon-window (it printed: ${debs[*]:-nothing})"
  finish
fi
deb_version="$(dpkg-deb -f "$gateway_deb" Version)"
settings=/etc/quillon/Quillon.ini

contents_of() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./|/|'; }
# Checks that the package holds every path named and none of those after "--".
holds() {
  local deb="$1" contents path problems=()
  shift
  contents="$(contents_of "$deb")"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    grep -qxF "$1" <<<"$contents" || problems+=("lacks $1")
    shift
  done
  [ $# -gt 0 ] && shift
  for path in "$@"; do
    grep -qxF "$path" <<<"$contents" && problems+=("holds $path")
  done
  if [ ${#problems[@]} -eq 0 ]; then return 0; fi
  echo "${problems[*]}"
  return 1
}

problems=()
unlike="$(holds "$gateway_deb" \
  /usr/bin/quillon /usr/bin/quillon-bussim /usr/lib/quillon/quillon-web.so \
  /usr/lib/quillon/quillon-tls.so /usr/lib/quillon/quillon-mqtt.so \
  /lib/systemd/system/quillon.service \
  /usr/lib/modules-load.d/quillon.conf /usr/share/quillon/Quillon.ini \
  /usr/share/doc/quillon/README.md.gz /usr/share/doc/quillon/user-guide.md \
  /usr/share/doc/quillon/copyright /usr/share/doc/quillon/changelog.Debian.gz \
  /usr/share/man/man1/quillon.1.gz /usr/share/man/man1/quillon-bussim.1.gz \
  -- /usr/bin/quillon-window /etc/quillon/Quillon.ini)" || problems+=("quillon $unlike")
unlike="$(holds "$window_deb" \
  /usr/bin/quillon-window /usr/share/applications/quillon.desktop \
  /usr/share/icons/hicolor/scalable/apps/quillon.svg /usr/share/man/man1/quillon-window.1.gz \
  /usr/share/doc/quillon-window/copyright /usr/share/doc/quillon-window/changelog.Debian.gz \
  -- /usr/bin/quillon)" || problems+=("quillon-window $unlike")
if [ ${#problems[@]} -eq 0 ]; then
  pass "quillon holds the gateway, the simulator, the web monitor's and TLS plugins, the unit, the settings' template, the docs and their manual pages; quillon-window the window, its desktop entry, icon and manual page"
else
  fail "the packages' files: ${problems[*]}"
fi

gateway_depends="$(dpkg-deb -f "$gateway_deb" Depends)"
window_depends="$(dpkg-deb -f "$window_deb" Depends)"
if ! grep -qE 'libqt6(gui|widgets)6' <<<"$gateway_depends" &&
  grep -q 'libqt6core6' <<<"$gateway_depends" &&
  grep -qF "quillon (= $deb_version)" <<<"$window_depends" &&
  grep -q 'libqt6widgets6' <<<"$window_depends"; then
  pass "quillon depends on Qt Core and no Qt Gui nor Widgets; quillon-window on quillon (= $deb_version) and Qt Widgets"
else
  fail "the Depends: quillon \"$gateway_depends\"; quillon-window \"$window_depends\""
fi

pages="$(mktemp -d)"
# shellcheck disable=SC2317  # run by the EXIT trap
remove_pages() { rm -rf "$pages"; }
trap remove_pages EXIT
dpkg-deb -x "$gateway_deb" "$pages"
dpkg-deb -x "$window_deb" "$pages"
page_problems=()
for page in quillon quillon-window quillon-bussim; do
  file="$pages/usr/share/man/man1/$page.1.gz"
  warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null || echo "man failed")"
  [ -z "$warnings" ] || page_problems+=("$page: $warnings")
  text="$(MANWIDTH=80 man -l "$file" 2>/dev/null | col -b)"
  for section in NAME SYNOPSIS OPTIONS SETTINGS FILES SIGNALS "EXIT STATUS"; do
    grep -qx "$section" <<<"$text" || page_problems+=("$page lacks $section")
  done
done
for key in IPPort SerialPort SerialType SerialModule AuthKey TLSPort TLSCertificate \
  TLSPrivateKey Listen WebPort WebOrigin AnalyzerPort ClockSync; do
  zcat "$pages/usr/share/man/man1/quillon.1.gz" | grep -qx "\.B $key" ||
    page_problems+=("quillon(1) lacks the setting $key")
done
if [ ${#page_problems[@]} -eq 0 ]; then
  pass "the manual pages show without warnings, with every section and setting"
else
  fail "the manual pages: ${page_problems[*]}"
fi

lintian_out="$(lintian --allow-root --pedantic -I --tag-display-limit 0 "$gateway_deb" \
  "$window_deb" 2>&1 || true)"
[ -n "$lintian_out" ] && printf '%s\n' "$lintian_out"
if grep -qE '^(E|W): ' <<<"$lintian_out"; then
  fail "lintian reports errors or warnings"
elif grep -q 'hardening-' <<<"$lintian_out"; then
  fail "lintian reports hardening tags"
else
  pass "lintian reports no error, warning or hardening tag"
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
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  "${as_root[@]}" dpkg --purge quillon-window quillon >/dev/null 2>&1 || true
  # The account that the package keeps on purge, made by this test alone.
  if ! $account_was_there && getent passwd quillon >/dev/null; then
    "${as_root[@]}" deluser --quiet --system quillon >/dev/null 2>&1 || true
    if getent group quillon >/dev/null; then
      "${as_root[@]}" delgroup --quiet --system quillon >/dev/null 2>&1 || true
    fi
  fi
  remove_pages
}
trap cleanup EXIT

connection_command="sudo quillon --connection-info --config $settings"
if ! install_out="$("${as_root[@]}" dpkg -i "$gateway_deb" "$window_deb" 2>&1 </dev/null)"; then
  printf '%s\n' "$install_out"
  fail "dpkg -i installs both packages"
  finish
fi
problems=()
grep -qF "$connection_command" <<<"$install_out" ||
  problems+=("it does not say to run $connection_command")
[[ " $(id -nG quillon 2>/dev/null || true) " == *" dialout "* ]] ||
  problems+=("no account quillon in dialout")
owner="$(stat -c '%U:%G %a' /var/lib/quillon 2>/dev/null || echo missing)"
[ "$owner" = "quillon:quillon 750" ] || problems+=("/var/lib/quillon is $owner")
[ -L /etc/systemd/system/multi-user.target.wants/quillon.service ] ||
  problems+=("quillon.service is not enabled")
if [ ${#problems[@]} -eq 0 ]; then
  pass "dpkg -i installs both packages, says to run $connection_command, makes the account quillon (in dialout) and /var/lib/quillon (750), enables quillon.service"
else
  printf '%s\n' "$install_out"
  fail "installing: ${problems[*]}"
fi

unit=/lib/systemd/system/quillon.service
problems=()
for line in LimitNOFILE=65536 MemoryMax=256M 'DeviceAllow=char-ttyS rw' \
  'DeviceAllow=char-ttyACM rw' 'DeviceAllow=char-ttyUSB rw'; do
  grep -qxF "$line" "$unit" || problems+=("lacks $line")
done
if command -v systemd-analyze >/dev/null; then
  verify_out="$(systemd-analyze verify "$unit" 2>&1)" || problems+=("systemd-analyze verify fails")
  [ -z "$verify_out" ] || problems+=("systemd-analyze verify says: $verify_out")
fi
if [ ${#problems[@]} -eq 0 ]; then
  pass "quillon.service has 65536 files, MemoryMax=256M, the ttyS, ttyACM and ttyUSB devices; systemd-analyze verify finds nothing"
else
  fail "quillon.service: ${problems[*]}"
fi

owner="$(stat -c '%U:%G %a' "$settings" 2>/dev/null || echo missing)"
if [ "$owner" = "root:quillon 640" ]; then
  pass "$settings is root:quillon, mode 640"
else
  fail "$settings is $owner, not root:quillon 640"
fi

setting() { "${as_root[@]}" sed -n "s/^$1 = //p" "$settings"; }
key="$(setting AuthKey)"
if [[ "$key" =~ ^[A-Za-z0-9]{32}$ ]] && [ "$(setting IPPort)" = 8080 ] &&
  [ "$(setting TLSPort)" = 27015 ] && [ "$(setting WebPort)" = 8088 ] &&
  [ "$(setting ClockSync)" = on ]; then
  pass "$settings has a generated 32-character AuthKey, IPPort 8080, TLSPort 27015, WebPort 8088, ClockSync on"
else
  fail "$settings has AuthKey \"$key\", IPPort \"$(setting IPPort)\", TLSPort \"$(setting TLSPort)\", WebPort \"$(setting WebPort)\", ClockSync \"$(setting ClockSync)\""
fi

# Where systemd runs, installing started the service. Elsewhere, its command
# runs as its unit runs it, as the quillon account, until its servers listen.
if [ ! -d /run/systemd/system ]; then
  read -r -a command <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
  journal="$(mktemp)"
  "${as_root[@]}" runuser -u quillon -- "${command[@]}" </dev/null >/dev/null 2>"$journal" &
  service=$!
  for _ in $(seq 100); do
    grep -q '^web monitor on ' "$journal" && break
    sleep 0.1
  done
  "${as_root[@]}" kill -TERM "$service" 2>/dev/null || true
  wait "$service" || true
  problems=()
  for line in "plain TCP server on 0.0.0.0:8080, key required" \
    "TLS server on 0.0.0.0:27015, key required" "web monitor on https://0.0.0.0:8088/, key required"; do
    grep -qxF "$line" "$journal" || problems+=("no line \"$line\"")
  done
  owner="$(stat -c '%U %a' /var/lib/quillon/Quillon.key 2>/dev/null || echo missing)"
  [ "$owner" = "quillon 600" ] || problems+=("its private key is $owner")
  if [ ${#problems[@]} -eq 0 ]; then
    pass "the service's command, run as quillon, says its servers need the key and makes its key pair (quillon, 600)"
  else
    cat "$journal"
    fail "the service's command: ${problems[*]}"
  fi
  rm -f "$journal"
fi

# What the postinst says to run, as an administrator would.
info="$("${as_root[@]}" /usr/bin/quillon --connection-info --config "$settings" 2>&1 || true)"
problems=()
for line in "Key \\(AuthKey\\): $key" "Home Assistant: tls://$key@[^ ]+:27015" \
  "Home Assistant: $key@[^ ]+:8080" "Web monitor: https://[^ ]+:8088/" \
  "Certificate SHA-256: ([0-9A-Fa-f]{2}:?){32}"; do
  grep -qE "^$line( |$)" <<<"$info" || problems+=("no line ^$line")
done
if [ ${#problems[@]} -eq 0 ]; then
  pass "$connection_command prints the key, tls://KEY@ADDRESS:27015, KEY@ADDRESS:8080, https://ADDRESS:8088/ and the certificate's SHA-256"
else
  printf '%s\n' "$info"
  fail "$connection_command: ${problems[*]}"
fi

# An administrator's change, then the same packages installed again, as an
# upgrade does.
"${as_root[@]}" sed -i 's/^WebPort = 8088$/WebPort = 0/' "$settings"
before="$("${as_root[@]}" md5sum <"$settings")"
"${as_root[@]}" dpkg -i "$gateway_deb" "$window_deb" >/dev/null </dev/null
after="$("${as_root[@]}" md5sum <"$settings")"
owner="$(stat -c '%U:%G %a' "$settings")"
if [ "$before" = "$after" ] && [ "$owner" = "root:quillon 640" ]; then
  pass "installing again keeps the administrator's $settings, root:quillon 640"
else
  fail "installing again changes $settings (now $owner)"
fi

"${as_root[@]}" dpkg --purge quillon-window quillon >/dev/null
left=()
for path in /usr/bin/quillon /usr/bin/quillon-window /etc/quillon /var/lib/quillon \
  /etc/systemd/system/multi-user.target.wants/quillon.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
if [ ${#left[@]} -eq 0 ]; then
  pass "dpkg --purge removes the programs, the settings, the data folder and the unit's link"
else
  fail "dpkg --purge leaves ${left[*]}"
fi

# A settings file put there before the first installation, without a key: it
# gets one, and TLS where it leaves it unset; what it set stays.
"${as_root[@]}" install -d -m 0755 /etc/quillon
printf 'IPPort = 9090\r\nSerialPort = auto\r\nWebPort = 0\r\n[Notes]\r\nAuthKey = x\r\n' |
  "${as_root[@]}" tee "$settings" >/dev/null
"${as_root[@]}" dpkg -i "$gateway_deb" >/dev/null </dev/null
key="$(setting AuthKey | head -n 1 | tr -d '\r')"
found="$(setting '\(IPPort\|TLSPort\|WebPort\)' | tr -d '\r' | tr '\n' ' ')"
owner="$(stat -c '%U:%G %a' "$settings")"
if [[ "$key" =~ ^[A-Za-z0-9]{32}$ ]] && [ "$found" = "9090 0 27015 " ] &&
  [ "$owner" = "root:quillon 640" ]; then
  pass "the first installation adds a key to a $settings without one, TLSPort 27015, keeps its IPPort and WebPort"
else
  fail "the first installation over a $settings without a key: AuthKey \"$key\", IPPort TLSPort WebPort \"$found\", $owner"
fi
"${as_root[@]}" dpkg --purge quillon >/dev/null

# Up to 3.25-1 the settings file was a conffile: a stand-in for that package,
# with the file changed by its administrator, upgraded to these packages.
old="$(mktemp -d)"
mkdir -p "$old/DEBIAN" "$old/etc/quillon"
printf 'Package: quillon\nVersion: 0.1-1\nArchitecture: all\nMaintainer: test <test@quillon.invalid>\nDescription: quillon with its settings as a conffile\n' \
  >"$old/DEBIAN/control"
echo "$settings" >"$old/DEBIAN/conffiles"
printf 'IPPort = 8080\r\nSerialPort = auto\r\n' >"$old/etc/quillon/Quillon.ini"
dpkg-deb --root-owner-group --build "$old" "$old.deb" >/dev/null
rm -rf "$old"
"${as_root[@]}" dpkg -i "$old.deb" >/dev/null </dev/null
rm -f "$old.deb"
printf 'IPPort = 9090\r\nSerialPort = /dev/ttyS0,38400,0,8,1,0\r\nSerialType = RS\r\n' |
  "${as_root[@]}" tee "$settings" >/dev/null
before="$("${as_root[@]}" md5sum <"$settings")"
if "${as_root[@]}" dpkg -i "$gateway_deb" "$window_deb" >/dev/null </dev/null; then
  after="$("${as_root[@]}" md5sum <"$settings" 2>/dev/null || echo missing)"
  owner="$(stat -c '%U:%G %a' "$settings" 2>/dev/null || echo missing)"
  conffiles="$(dpkg-query -W -f='${Conffiles}' quillon)"
  if [ "$before" = "$after" ] && [ "$owner" = "root:quillon 640" ] && [ -z "$conffiles" ]; then
    pass "upgrading from the conffile keeps the administrator's $settings, now root:quillon 640 and no conffile"
  else
    fail "upgrading from the conffile: $settings $([ "$before" = "$after" ] || echo changed), $owner, conffiles \"$conffiles\""
  fi
else
  fail "dpkg -i upgrades from a package whose settings were a conffile"
fi

finish

#!/usr/bin/env bash
# "Run it": the helper installed as the Windows service VelkVpnHelper the way
# a user's installer does it (files staged with their manifest by
# scripts/make-stage.sh, then velkvpn-helper.exe --install-from-stage), in a
# throwaway Wine prefix, with the stand-ins for what Wine lacks (the filtering
# engine, the tunnelling engine), driven by velk-client through one session: start with the kill
# switch, status, select, test_route, stop, with --diagnose once while the
# kill switch is armed and once after the stop. Then one upgrade from a second
# stage, --upgrade-inspect and --remove-service.
#
#   scripts/demo.sh
#
# Builds what is missing first (scripts/build-exe.sh plus the test fixtures).
# Everything it makes lives in build/demo and is removed at the end, also on
# failure or Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
. scripts/wine-env.sh

build=$root/build/windows
demo=$root/build/demo
prefix=$demo/wineprefix
service=VelkVpnHelper
install_dir_win='C:\Program Files\VELK VPN'
install_dir=$prefix/drive_c/Program\ Files/VELK\ VPN

say() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$@"; }
w() { VELK_WINEPREFIX=$prefix "$root/scripts/wine-run.sh" "$@"; }
# Windows tools print CR LF.
wt() { w "$@" 2>&1 | tr -d '\r'; }

# The service, its state and the stand-ins' state all live in the prefix, so
# ending its processes and removing it undoes everything.
cleanup() {
  local code=$?
  trap - EXIT INT TERM
  [ "$code" -eq 0 ] || echo "cleaning up build/demo"
  WINEPREFIX=$prefix "$WINESERVER" -k >/dev/null 2>&1 || true
  exec 9>&- 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$demo"
  exit "$code"
}
trap cleanup EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

# ---------------------------------------------------------------- build
say "Building the Windows build (only what is missing)"
scripts/build-exe.sh
cmake --build "$build" -j "$(nproc)" --target fwp_standin_dll fwp-standin velkvpn-engine-standin velk-client velk-make-stage

# ---------------------------------------------------------------- prefix
say "Making a throwaway Wine prefix in build/demo (about half a minute)"
rm -rf "$demo"
mkdir -p "$demo"
w cmd /c exit 0 >/dev/null 2>&1   # wine-run.sh makes the prefix on first use and waits for wineboot
# Wine ends its service manager, and every service with it, as soon as no
# other program of the prefix runs; this one waits on a fifo until the end.
mkfifo "$demo/keepalive"
exec 9<>"$demo/keepalive"
w cmd /c pause <&9 >/dev/null 2>&1 &
setup_dir=$prefix/drive_c/velk-setup
setup_win='C:\velk-setup'

# Makes the stage .update-new of the install directory from the files of a new
# version, as a package's build does (scripts/make-stage.sh: the files and
# their manifest, judged by the installer's own reader).
stage() {
  local release=$demo/release f
  rm -rf "$release" "$install_dir/.update-new"
  mkdir -p "$release"
  for f in velkvpn-helper.exe velkvpn-engine.exe fwpuclnt.dll fwp-standin.exe velk-client.exe; do
    cp "$build/$f" "$release/"
  done
  printf '%s\n' "$1" >"$release/release.txt"
  VELK_WINEPREFIX=$prefix scripts/make-stage.sh "$release" "$install_dir/.update-new" >/dev/null
}

# The installer runs the new helper from where the package unpacked it (with
# the filtering-engine stand-in beside it, since Wine has no WFP).
installer() {
  local code=0
  wt "$setup_win\velkvpn-helper.exe" "$@" | sed 's/^/   /' || code=$?
  return "$code"
}
installer_code() { set +e; installer "$@"; local c=$?; set -e; note "exit code $c"; }

mkdir -p "$setup_dir"
cp "$build/velkvpn-helper.exe" "$build/fwpuclnt.dll" "$setup_dir/"

say "Staging version 0.1.8 in $install_dir_win\.update-new (scripts/make-stage.sh)"
stage "first install"
sed 's/^/   /' "$install_dir/.update-new/install-manifest.txt" | tr -d '\r'
note "" "velkvpn-helper.exe   the helper, exactly as built" \
  "velkvpn-engine.exe   a stand-in for the tunnelling engine (answers its controller, no tunnel)" \
  "fwpuclnt.dll         a stand-in for the Windows Filtering Platform, which Wine lacks" \
  "fwp-standin.exe      shows what that stand-in holds" \
  "velk-client.exe      sends JSON lines to the helper's pipe, as the desktop app does"

# ---------------------------------------------------------------- install
say "Installing: velkvpn-helper.exe --install-from-stage \"$install_dir_win\""
installer_code --install-from-stage "$install_dir_win"
say "   install.log (in %ProgramData%\\VELK VPN)"
tr -d '\r' <"$prefix/drive_c/ProgramData/VELK VPN/install.log" | sed 's/^/   /'
say "   The service as registered (its registry key)"
wt reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" |
  grep -E 'Type|Start|ErrorControl|ImagePath|DependOnService|DisplayName' | sed 's/^/ /' || true

client() { wt "$install_dir_win\\velk-client.exe" --wait-ms 15000 "$@"; }
ask() { client "$@" | sed 's/^/   /'; }

# ---------------------------------------------------------------- session
start_request='{"cmd":"start","request":{"routes":['\
'{"tag":"srv-1","server":"192.0.2.10","port":443,"uuid":"123e4567-e89b-12d3-a456-426614174000","flow":"",'\
'"server_name":"www.example.com","fingerprint":"chrome","public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x","short_id":"0123abcd"},'\
'{"tag":"srv-2","server":"198.51.100.20","port":8443,"uuid":"123e4567-e89b-12d3-a456-426614174001","flow":"",'\
'"server_name":"www.example.org","fingerprint":"firefox","public_key":"abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_y","short_id":"4567ef"}'\
'],"selected":"srv-1"},"kill_switch":true}'

# The stand-in keeps its objects in %ProgramData%\fwp-standin; the prefix gives
# services and console programs the same %ProgramData% (scripts/wine-run.sh).
show_filters() {
  wt "$install_dir_win\\fwp-standin.exe" dump | awk '
    function dotted(v) { return int(v / 16777216) % 256 "." int(v / 65536) % 256 "." int(v / 256) % 256 "." v % 256 }
    /^  "filters": \[/ { on = 1; next }
    on && /^  \]/ { on = 0 }
    !on { next }
    /^    \{/ { action = ""; layer = ""; conds = ""; field = ""; type = ""; value = ""; text = ""; next }
    /^      "action": / { action = $2; gsub(/[",]|FWP_ACTION_/, "", action); action = tolower(action) }
    /^      "layer_name": / { layer = $2; gsub(/[",]/, "", layer) }
    /^          "field": / { field = $2; gsub(/[",]/, "", field) }
    /^          "type": / { type = $2; gsub(/[",]/, "", type) }
    /^          "value": / { value = $2; gsub(/[",]/, "", value) }
    /^          "text": / { text = $0; sub(/^ *"text": "/, "", text); sub(/",?$/, "", text); gsub(/\\\\/, "\\", text) }
    /^        \},?$/ {
      if (text != "") value = text
      else if (field == "IP_REMOTE_ADDRESS" && type == "FWP_UINT32") value = dotted(value)
      else if (field == "FLAGS" && value == 1) value = "loopback"
      conds = conds " " field "=" value
      field = ""; type = ""; value = ""; text = ""
    }
    /^    \},?$/ { n++; printf "   %-24s %-7s %s\n", layer, action, (conds == "" ? " everything" : conds) | "sort -s -k1,1" }
    END { close("sort -s -k1,1"); printf "   %d filters in force\n", n }'
}

# Asks for the status once a second until the answer contains every given
# text (30 s at most), then prints the last exchange.
wait_for_status() {
  local out="" all=""
  for _ in $(seq 1 30); do
    out=$(client '{"cmd":"status"}')
    all=yes
    for want in "$@"; do [[ $out == *"$want"* ]] || all=""; done
    [ -n "$all" ] && break
    sleep 1
  done
  echo "$out" | sed 's/^/   /'
  [ -n "$all" ] || { note "expected $* within 30 s; giving up"; return 1; }
}

say "1. status: the helper is idle"
note "Every request is one JSON line; every answer too. '>' is what was sent, '<' what came back."
ask '{"cmd":"status"}'

say "2. start, with the kill switch"
note "Two routes (documentation addresses: nothing is contacted); srv-1 selected." \
     "The helper pins the servers' addresses, saves killswitch.json, installs the filters," \
     "and only then starts the engine. The answer comes at once: state starting, kill switch armed."
ask "$start_request"

state_file=$(find "$prefix/drive_c" -maxdepth 5 -name killswitch.json | head -n 1)
if [ -n "$state_file" ]; then
  say "   The saved kill switch: %ProgramData%\\VELK VPN\\killswitch.json of the service"
  note "$(cat "$state_file")"
fi

say "   The filters in force now (fwp-standin dump, summarised)"
note "Everything is blocked in the four layers except loopback, DHCP, IPv6 neighbour discovery," \
     "and the engine's own TCP connections to the two pinned servers."
show_filters

say "3. status, once the engine answers its controller: running, active srv-1"
wait_for_status '"state":"running"' '"active":"srv-1"'

# --diagnose: read-only; 0 everything agrees, 1 something disagrees, 2 it could not look.
diagnose() {
  set +e
  wt "$install_dir_win\velkvpn-helper.exe" --diagnose | sed 's/^/   /'
  local c=${PIPESTATUS[0]}
  set -e
  note "exit code $c"
}

say "   velkvpn-helper.exe --diagnose, with the kill switch armed"
note "What the service, the running helper, the state directory, the filters and the installed" \
     "files hold, compared with one another; it changes nothing. Disagreements would come first."
diagnose

say "4. select srv-2: the helper tells the engine's controller to switch"
ask '{"cmd":"select","tag":"srv-2"}'
note "The answer carries the new selection; the engine reports srv-2 as the route in use" \
     "at its next look (every few seconds):"
wait_for_status '"active":"srv-2"'

say "5. test_route srv-2: a latency test through the engine (the stand-in answers 100 ms)"
ask '{"cmd":"test_route","tag":"srv-2"}'

say "6. stop: the engine goes down, then the kill switch comes off"
ask '{"cmd":"stop"}'
note "The answer comes at once; the engine thread then ends the engine and removes the filters:"
wait_for_status '"state":"stopped"' '"kill_switch":"off"'

say "   The filters in force now"
show_filters

say "   velkvpn-helper.exe --diagnose, after the stop"
note "No saved kill switch and no filters: that agrees too."
diagnose

say "Upgrading from a second stage (the same build, another release note)"
stage "second release"
rm -f "$prefix/drive_c/ProgramData/VELK VPN/install.log"
installer_code --install-from-stage "$install_dir_win"
note "A clean upgrade of a helper that answers: exactly four lines."

say "velkvpn-helper.exe --upgrade-inspect: is anything active?"
installer_code --upgrade-inspect

say "velkvpn-helper.exe --remove-service \"$install_dir_win\""
installer_code --remove-service "$install_dir_win"
if wt sc query "$service" | grep -q STATE; then note "the service is still registered"; else note "the service is gone"; fi
note "The files stay for the package's uninstaller to delete:"
ls "$install_dir" | sed 's/^/     /'

say "Done. The throwaway prefix is removed now."

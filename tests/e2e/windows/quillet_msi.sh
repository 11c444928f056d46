#!/bin/bash
# Guards the installer under Wine, in a network namespace with a Wine prefix of its own: its tables
# hold the firewall rules for both programs (added on install, removed on uninstall; Wine's netsh
# does nothing, so the tables are what can be checked), the fixed upgrade code and the service;
# msiexec /i /qn puts both programs, the licence and the README in Program Files\Quillet, the
# shortcut in the Start menu and the service "Quillet TFTP Server" in place; quilletd.exe from there
# serves byte for byte; the service starts with net start, serves %ProgramData%\Quillet\TFTP and
# stops with net stop; msiexec /x /qn takes files, shortcut and service away again.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

WINE_RUN=${WINE_RUN:?WINE_RUN must name tests/wine/run.sh}
QUILLET_MSI=${QUILLET_MSI:?QUILLET_MSI must name the installer}
[[ -f $QUILLET_MSI ]] || fail "no installer at $QUILLET_MSI (cmake --build --preset windows --target msi)"
export WINEPREFIX="$WORK/prefix"
trap 'wineserver -k 2>/dev/null || true; e2e_cleanup' EXIT
# From a folder without programs of ours: Wine would run those before its own.
wine_in_ns() { (cd "$WORK" && in_ns "$WINE_RUN" "$@" 2>&1 | tr -d '\r'); }
table() { msiinfo export "$QUILLET_MSI" "$1" | tr -d '\r'; }

rule='advfirewall firewall add rule name="Quillet TFTP" dir=in action=allow protocol=UDP localport=69'
for row in "FirewallRulesRemove	3186	NETSH	advfirewall firewall delete rule name=\"Quillet TFTP\"" \
    "FirewallRuleWindow	3186	NETSH	$rule program=\"[INSTALLDIR]quillet.exe\"" \
    "FirewallRuleService	3186	NETSH	$rule program=\"[INSTALLDIR]quilletd.exe\"" \
    "SetNetsh	2099	NETSH	[System64Folder]netsh.exe"; do
    table CustomAction | grep -qxF "$row	" || fail "no custom action \"$row\": $(table CustomAction)"
done
# 3186: deferred (1024), not impersonated (2048), its result ignored (64), the program named by
# a property (50). The rules go in once the files are, except on removal.
for row in "FirewallRulesRemove	1	1510" "FirewallRuleWindow	NOT REMOVE~=\"ALL\"	4010" \
    "FirewallRuleService	NOT REMOVE~=\"ALL\"	4020"; do
    table InstallExecuteSequence | grep -qxF "$row" || fail "not in the sequence: $row"
done
table Property | grep -qxF "UpgradeCode	{A388FC84-E761-4022-95FC-5A7BE5276E3B}" ||
    fail "upgrade code: $(table Property | grep UpgradeCode)"
table ServiceInstall | grep -qF "quilletd	Quillet TFTP Server	16	3	1			NT AUTHORITY\\LocalService" ||
    fail "service: $(table ServiceInstall)"

folder="$WINEPREFIX/drive_c/Program Files/Quillet"
service_folder="$WINEPREFIX/drive_c/ProgramData/Quillet/TFTP"
service_key='HKLM\System\CurrentControlSet\Services\quilletd'
msi="Z:${QUILLET_MSI//\//\\}"
wine_in_ns msiexec /i "$msi" /qn >"$WORK/install" || fail "install: $(cat "$WORK/install")"
for file in quillet.exe quilletd.exe LICENSE.txt README.md; do
    [[ -s $folder/$file ]] || fail "not installed: $file"
done
# The all-users Start menu; Wine 8 puts the shortcut in the user's own instead.
menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
    "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs)
shortcut=$(find "${menus[@]}" -maxdepth 1 -name Quillet.lnk 2>/dev/null || true)
[[ -s $shortcut ]] || fail "no shortcut: $(find "$WINEPREFIX" -iname "*.lnk")"
# The shortcut starts the window in the install folder, which serves the user's TFTP folder.
grep -qaF 'quillet.exe' "$shortcut" || fail "the shortcut does not start quillet.exe"
[[ -d $service_folder ]] || fail "no folder for the service"
service=$(wine_in_ns reg query "$service_key")
for value in "ObjectName    REG_SZ    NT AUTHORITY\\LocalService" "Start    REG_DWORD    0x3" \
    "DisplayName    REG_SZ    Quillet TFTP Server" "C:\\Program Files\\Quillet\\quilletd.exe"; do
    grep -qF "$value" <<<"$service" || fail "service: no \"$value\" in $service"
done

# The installed program, in a console of its own.
make_file "$SERVED/file-1048576.bin" 1048576
printf '#!/bin/sh\nexec "%s" "%s"\n' "$WINE_RUN" "$folder/quilletd.exe" >"$WORK/quilletd"
chmod +x "$WORK/quilletd"
start_server "$WORK/quilletd"
fetch_table curl hpa -- 1048576
stop_server INT 3000

# The service, from its own folder; the service manager's stop takes the path of Ctrl+C.
SERVED=$service_folder QUILLET_LOG="$service_folder/Quillet.log"
make_file "$SERVED/file-700.bin" 700
wine_in_ns net start quilletd >"$WORK/net" || fail "net start: $(cat "$WORK/net")"
expect_log "Quillet Server Ready..." 20
expect_log "Serving C:\\ProgramData\\Quillet\\TFTP"
fetch_table curl hpa -- 700
wine_in_ns net stop quilletd >"$WORK/net" || fail "net stop: $(cat "$WORK/net")"
[[ $(raw_get file-700.bin 2>&1 || true) != DATA ]] || fail "still served after net stop"

wine_in_ns msiexec /x "$msi" /qn >"$WORK/remove" || fail "uninstall: $(cat "$WORK/remove")"
for file in quillet.exe quilletd.exe LICENSE.txt README.md; do
    [[ ! -e $folder/$file ]] || fail "left after uninstall: $file"
done
[[ ! -e $shortcut ]] || fail "shortcut left after uninstall"
[[ $(wine_in_ns reg query "$service_key") != *ImagePath* ]] || fail "service left after uninstall"
[[ -s $service_folder/Quillet.log ]] || fail "the service's log went with the uninstall"
echo "PASS: $e2e_name"

#!/bin/bash
# Guards the installer under Wine: its tables hold both programs' firewall rules (Wine's netsh does
# nothing) and the fixed upgrade code; msiexec /i /qn installs the files, shortcut and service,
# which serves %ProgramData%\Quillet\TFTP between net start and net stop; msiexec /x /qn removes
# all that but the service's log.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

use_wine
QUILLET_MSI=${QUILLET_MSI:?QUILLET_MSI must name the installer}

# 3186: deferred, not impersonated, result ignored, the program (netsh) named by a property.
add='3186	NETSH	advfirewall firewall add rule name="Quillet TFTP" dir=in action=allow protocol=UDP localport=69'
for row in "CustomAction|FirewallRulesRemove	3186	NETSH	advfirewall firewall delete rule name=\"Quillet TFTP\"	" \
    "CustomAction|FirewallRuleWindow	$add program=\"[INSTALLDIR]quillet.exe\"	" \
    "CustomAction|FirewallRuleService	$add program=\"[INSTALLDIR]quilletd.exe\"	" \
    "CustomAction|SetNetsh	2099	NETSH	[System64Folder]netsh.exe	" \
    "InstallExecuteSequence|FirewallRulesRemove	1	1510" \
    "InstallExecuteSequence|FirewallRuleService	NOT REMOVE~=\"ALL\"	4020" \
    "Property|UpgradeCode	{A388FC84-E761-4022-95FC-5A7BE5276E3B}"; do
    msiinfo export "$QUILLET_MSI" "${row%%|*}" | tr -d '\r' | grep -qxF "${row#*|}" || fail "no row $row"
done

folder="$WINEPREFIX/drive_c/Program Files/Quillet"
msi="Z:${QUILLET_MSI//\//\\}" service_key='HKLM\System\CurrentControlSet\Services\quilletd'
wine_in_ns msiexec /i "$msi" /qn >"$WORK/install" || fail "install: $(cat "$WORK/install")"
for file in quillet.exe quilletd.exe LICENSE.txt README.md; do
    [[ -s $folder/$file ]] || fail "not installed: $file"
done
# In the all-users Start menu; Wine 8 puts it in the user's own.
shortcut=$(find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Quillet.lnk')
grep -qaF 'quillet.exe' "$shortcut" || fail "no shortcut to quillet.exe: $shortcut"
service=$(wine_in_ns reg query "$service_key")
[[ $service == *"ObjectName    REG_SZ    NT AUTHORITY\LocalService"*"Start    REG_DWORD    0x3"* &&
    $service == *"C:\Program Files\Quillet\quilletd.exe"* ]] || fail "service: $service"

# The installed quilletd.exe as the service.
SERVED="$WINEPREFIX/drive_c/ProgramData/Quillet/TFTP" && QUILLET_LOG="$SERVED/Quillet.log"
make_fetch_files msi
wine_in_ns net start quilletd >"$WORK/net" || fail "net start: $(cat "$WORK/net")"
expect_log "Serving C:\\ProgramData\\Quillet\\TFTP" 20
fetch_set msi
wine_in_ns net stop quilletd >"$WORK/net" && sleep 3 || fail "net stop: $(cat "$WORK/net")"
[[ $(raw_get file-700.bin 2>&1) != DATA ]] || fail "served 3 s after net stop (Wine's returns at once)"

wine_in_ns msiexec /x "$msi" /qn >"$WORK/remove" || fail "uninstall: $(cat "$WORK/remove")"
[[ ! -e $folder/quilletd.exe && ! -e $folder/README.md && ! -e $shortcut ]] || fail "left: $(ls "$folder")"
[[ $(wine_in_ns reg query "$service_key") != *ImagePath* ]] || fail "service left after uninstall"
[[ -s $QUILLET_LOG ]] || fail "the service's log went with the uninstall"
echo "PASS: $e2e_name"

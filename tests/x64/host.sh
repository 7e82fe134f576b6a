# Sourced by the 64-bit prefixes' tests (x64hosts.sh, msi/msi.sh), which
# define wine, windows_path and fail.
#
# install_host FOLDER BIN: what a 64-bit Windows PC has before Kavro comes, in
# the prefix: the host's 32-bit installation (ZebMachine.dll, registered by the
# 32-bit regsvr32) and the Collection and ADO libraries registered. As on
# Windows, where a 32-bit registration reaches the 32-bit view only,
# _Collection is then unknown to 64-bit programs until Kavro's registration
# for 64-bit hosts copies it. The stand-ins are copied into FOLDER first.
install_host() {
    local host="$1" bin="$2"
    cp "$bin/ZebMachine.dll" "$bin/StdCollection.tlb" "$bin/Ado26.tlb" "$host/" || { fail "the host's files not copied"; return; }
    wine 'C:\windows\syswow64\regsvr32.exe' /s "$(windows_path "$host/ZebMachine.dll")" || fail "regsvr32 ZebMachine.dll"
    wine "$bin/x64/x64-client.exe" register "$(windows_path "$host/StdCollection.tlb")" \
        "$(windows_path "$host/Ado26.tlb")" >"$host/typelibs.log" 2>&1 || { fail "registering the type libraries"; cat "$host/typelibs.log"; }
    wine reg delete 'HKCR\Interface\{A4C46780-499F-101B-BB78-00AA00383CBB}' /f /reg:64 >/dev/null 2>&1 ||
        fail "removing _Collection from the 64-bit view"
}

# Wine for the project's scripts (sourced, not run): the loaders, which one runs a
# given program, whether this machine can start 32-bit programs at all, and a
# prefix made ready for the tests.
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
# The 64-bit wineserver serves 32- and 64-bit programs, in 64- and 32-bit prefixes.
WINESERVER=/usr/lib/wine/wineserver64
I686_NOT_RUN_KERNEL="i686 build NOT run: this kernel cannot start 32-bit programs"

# The loader of the program's own bitness, read from the machine field of its PE
# header (0x14c: i386). A 32-bit program started through wine64 would cost a
# second process at every start.
wine_for() {
    local pe machine
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
    if [ "$machine" = 014c ]; then echo "$WINE32"; else echo "$WINE64"; fi
}

# Why the i686 build cannot run on this machine; nothing when it can. The 32-bit
# loader prints its version without a prefix or a wineserver; a kernel without
# 32-bit support refuses to start it at all ("Exec format error").
i686_not_run_reason() {
    if [ ! -x "$WINE32" ]; then
        echo "i686 build NOT run: 32-bit Wine ($WINE32, package wine32:i386) is not installed"
    elif ! "$WINE32" --version >/dev/null 2>&1; then
        echo "$I686_NOT_RUN_KERNEL"
    fi
}

# Makes WINEPREFIX (of WINEARCH) ready for programs of either bitness, with the
# wineserver already running: created on first use, its 32-bit system folder
# filled if it was made before 32-bit Wine was installed, its windows unmanaged,
# and Wine's own background processes started. Wine's processes get no standard
# streams of the caller and not its descriptor 9 (the callers' lock).
prepare_prefix() {
    local wine=$WINE64
    [ "${WINEARCH:-win64}" = win32 ] && wine=$WINE32
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
    fi
    # A 64-bit prefix made before 32-bit Wine was installed has an empty syswow64:
    # a 32-bit program would then not find kernel32.dll.
    if [ "$wine" = "$WINE64" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] &&
        [ -z "$(i686_not_run_reason)" ]; then
        rm -f "$WINEPREFIX/.update-timestamp"
        "$wine" wineboot -u >/dev/null 2>&1 </dev/null 9>&- || true
    fi
    # Wine's X11 driver waits up to 2 s for a window manager to acknowledge every
    # window it hides; Xvfb has none. Unmanaged windows close at once (and Wine
    # draws their captions itself, which screenshots then show).
    if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
        "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null 9>&- || true
    fi
    # Wine's background processes (services, devices, explorer) now, with their
    # output elsewhere: started by the first test, they would hold that test's
    # output pipe open for the whole session and ctest would wait for them.
    "$wine" cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&- || true
}

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# 32-bit Wine (wine32:i386) runs the shipped i686 build; it needs the i386
# architecture, which is added first when dpkg lacks it. Installing it may
# upgrade some 64-bit libraries (libc, ssl, glib) to the versions its 32-bit
# twins need. The native packer (build/native) is built with the host's g++
# against libmsi (msitools' library, libmsi-dev).
set -euo pipefail
packages=(wine wine64 wine32:i386 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
          msitools gcab xvfb googletest cmake ninja-build imagemagick osslsigncode openssl python3
          fonts-ipafont-gothic g++ pkg-config libmsi-dev libglib2.0-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
add_i386=
dpkg --print-foreign-architectures | grep -qx i386 || add_i386="dpkg --add-architecture i386 && "
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root:" >&2
    echo "  ${add_i386}apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
[ -z "$add_i386" ] || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index; the others still name every package.
apt-get update || echo "apt-get update reported errors; installing from the lists it fetched" >&2
# 32-bit Wine alone may be out of reach (its i386 index missing mid-sync): the
# rest is installed without it, and the tests then say that the i686 build
# did not run, as on a kernel that cannot start 32-bit programs.
others=()
for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || others+=("$p"); done
[ ${#others[@]} -eq 0 ] || apt-get install -y --no-install-recommends "${others[@]}"
if [ ${#others[@]} -lt ${#missing[@]} ] && ! apt-get install -y --no-install-recommends wine32:i386; then
    echo "install-deps: wine32:i386 could not be installed: the i686 build will not run" >&2
fi

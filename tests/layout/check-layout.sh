#!/usr/bin/env bash
# Fails unless the executable has the compact layout the stub is made for:
# sections 512-byte aligned in the file (nothing maps a large image: payloads
# lie after it) and page-aligned in memory, every section where the file
# alignment puts it,
# the resources (which the packer rewrites) last, and no section beyond the
# ones the linker script makes (a .CRT or .tls would mean run-time start-up
# code that nothing runs); and marked large-address-aware, so that a 32-bit
# process has room for a large bundle's image.
#   check-layout.sh OBJDUMP EXECUTABLE
set -euo pipefail
objdump=$1 exe=$2
allowed='^\.(text|data|bss|pdata|reloc|rsrc)$'

[ -f "$exe" ] || { echo "check-layout: $exe is missing" >&2; exit 1; }
status=0
fail() { echo "FAIL  $*"; status=1; }

headers=$("$objdump" -p "$exe")
file_alignment=512
check_alignment() {
    local field=$1 expected=$2 value
    value=$(awk -v f="$field" '$1 == f { print $2 }' <<<"$headers")
    [ "$((16#${value:-0}))" -eq "$expected" ] && echo "ok    $field $expected" || fail "$field is ${value:-missing}, not $expected"
}
check_alignment FileAlignment "$file_alignment"
check_alignment SectionAlignment 4096

grep -q '^[[:space:]]*large address aware$' <<<"$headers" && echo "ok    large address aware" ||
    fail "not marked large address aware"

# objdump -h: index, name, size, VMA, LMA, file offset, alignment.
mapfile -t sections < <("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2, $6 }')
[ "${#sections[@]}" -gt 0 ] || { echo "check-layout: no sections read from $exe" >&2; exit 1; }
last_name= last_offset=-1
for section in "${sections[@]}"; do
    read -r name offset <<<"$section"
    offset=$((16#$offset))
    [[ $name =~ $allowed ]] || fail "unexpected section $name"
    if [ "$offset" -ne 0 ]; then  # .bss has no bytes in the file
        [ $((offset % file_alignment)) -eq 0 ] || fail "$name starts at file offset $offset, off the file alignment"
        [ "$offset" -gt "$last_offset" ] && { last_offset=$offset; last_name=$name; }
    fi
done
[ "$last_name" = .rsrc ] && echo "ok    .rsrc is last in the file" || fail "the last section in the file is $last_name, not .rsrc"
echo "ok    sections: ${sections[*]%% *}"
exit "$status"

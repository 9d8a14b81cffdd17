#!/usr/bin/env bash
# Makes 32-bit x86 programs runnable: natively where the kernel can, else by
# registering the user-mode emulator with the kernel's binary formats.
set -euo pipefail
probe=$(mktemp)
trap 'rm -f "$probe" "$probe.c"' EXIT
printf 'int main(void){return 0;}\n' > "$probe.c"
gcc -m32 -o "$probe" "$probe.c"
if "$probe" 2>/dev/null; then exit 0; fi
formats=/proc/sys/fs/binfmt_misc
[ -e "$formats/register" ] || mount -t binfmt_misc binfmt_misc "$formats"
# P keeps argv[0] as the caller gave it (the server finds itself from it).
entry="$formats/ombrevard-i386"
if [ -e "$entry" ] && ! grep -q '^flags: .*P' "$entry"; then echo -1 > "$entry"; fi
if [ ! -e "$entry" ]; then
  echo ':ombrevard-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:P' \
    > "$formats/register"
fi
"$probe"
echo "32-bit programs run under user-mode emulation"

#!/usr/bin/env bash
# Builds the test bridge into OUT (first argument): fbclient.dll.so, the Wine
# builtin that carries the code, and fbclient.dll, the stub Wine needs on its
# search path before it loads a builtin (copy it to the prefix's system32).
# Debian 12: wine64-tools, libwine-dev, firebird-dev, libfbclient2.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?output folder}
mkdir -p "$out"
# Host compiler, not winegcc: ibase.h must declare the Linux functions.
nice -n 10 gcc -O2 -fPIC -Wall -Wextra -Werror -c "$here/fbclient.c" -o "$out/fbclient.o"
# The export list goes to winebuild by -E, as winegcc would hand it on.
nice -n 10 winegcc -m64 -shared -o "$out/fbclient.dll" -Wb,-E,"$here/fbclient.exports" "$out/fbclient.o" -lfbclient
mv "$out/fbclient.dll.so" "$out/fbclient.so.tmp" 2>/dev/null || true
winebuild -m64 --dll --fake-module -E "$here/fbclient.exports" -F fbclient.dll -o "$out/fbclient.dll"
mv "$out/fbclient.so.tmp" "$out/fbclient.dll.so"

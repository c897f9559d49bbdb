#!/bin/sh
# Makes what a Windows player downloads from the cross-built program: the
# folder the zip is made of, the zip, and the installer.
#
#   pack.sh OUT_DIR EXE STRIP VERSION CMAKE
#
# OUT_DIR/package/TarnLauncher is the unpacked copy, OUT_DIR holds
# tarn-launcher-windows.zip and tarn-launcher-setup.exe. When
# TARN_SIGN_CERT and TARN_SIGN_KEY name a code-signing certificate and its
# key (PEM), the program, the uninstaller and the installer are signed
# (Authenticode, SHA-256), with a time stamp from TARN_SIGN_TIMESTAMP when
# that names a server; an unsigned build says so in its read-me.
set -eu
out=$1 exe=$2 strip=$3 version=$4 cmake=$5
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../../.." && pwd)
stage=$out/package/TarnLauncher

rm -rf "$out/package"
mkdir -p "$stage"
cp "$exe" "$stage/"
# Debug information stays in the build; the player gets the bare program.
"$strip" "$stage/tarn-launcher.exe"
cp -R "$source/ui" "$stage/ui"
cp "$here/README.txt" "$stage/README.txt"

sign=""
if [ -n "${TARN_SIGN_CERT:-}" ] && [ -n "${TARN_SIGN_KEY:-}" ]; then
  sign="$here/sign.sh"
  "$sign" "$stage/tarn-launcher.exe"
else
  printf '\nЭта сборка не подписана цифровой подписью, поэтому Windows может предупредить о неизвестном издателе перед запуском.\n' \
    >>"$stage/README.txt"
fi

rm -f "$out/tarn-launcher-windows.zip" "$out/tarn-launcher-setup.exe"
(cd "$out/package" && "$cmake" -E tar cf "$out/tarn-launcher-windows.zip" --format=zip TarnLauncher)
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DICON="$source/host/win/tarn.ico" \
  -DOUTFILE="$out/tarn-launcher-setup.exe" ${sign:+-DSIGN="$sign"} "$here/installer.nsi"

#!/usr/bin/env bash
# Takes the screenshots in this folder: skiffhouse.exe in Wine's virtual desktop (with
# its taskbar and tray) on an Xvfb of its own, in a scratch Wine prefix; the password
# prompt is raised by the Windows handheld tool, locked with a password, through the
# stand-in device manager. Twice: at 96 DPI (name.png, with the tray) and at 144 DPI
# (name-144dpi.png), as Wine's LogPixels setting makes it. Needs the mingw build tools,
# Wine, Xvfb and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
out="$root/docs/screenshots"

cmake --preset mingw >/dev/null
cmake --build build/mingw -j2 --target skiffhouse skiffhouse-standin skiffhouse-handheld
bin="$root/build/mingw"
program="$bin/src/platform/win32/skiffhouse.exe"
standin="$bin/src/platform/win32/skiffhouse-standin.dll"
handheld="$bin/tools/handheld/skiffhouse-handheld.exe"

scratch=$(mktemp -d)
cleanup() {
  WINEPREFIX="$scratch/prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -o "$scratch/helper.exe" "$out/screenshot_helper.cpp" -lshell32

Xvfb -displayfd 3 -screen 0 1536x1152x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$scratch/display")"
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
$wine wineboot --init >/dev/null 2>&1
/usr/lib/wine/wineserver -w
$wine regsvr32 /s "$(winepath -w "$standin" 2>/dev/null || echo "Z:${standin//\//\\}")" >/dev/null 2>&1

# A loopback port of its own for the stand-in.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export SKIFFHOUSE_USB_PORT=$port
helper() { $wine "$scratch/helper.exe" "$@"; }

# One round of pictures at a DPI: the desktop scales with it so that the window fits.
shots() {
  local dpi=$1 suffix=$2 size=$3
  shot() { import -window root -crop "$size+0+0" +repage "$out/$1$suffix.png"; }
  # Wine reads the DPI at start: set it with no program of the prefix running.
  $wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  $wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  # A fresh start each time, so that the first start hides the window to the tray.
  $wine reg delete 'HKCU\Software\SkiffHouse' /f >/dev/null 2>&1 || true

  $wine explorer /desktop=skiffhouse-shots,"$size" "$program" >/dev/null 2>&1 &
  # Started hidden: only the tray icon in the taskbar is left.
  helper tray
  if [ -z "$suffix" ]; then
    sleep 1  # the taskbar draws the new icon in its own time: nothing to wait on
    shot tray
  fi
  helper show
  helper about
  shot about
  helper close "About SkiffhouseDesktop"

  # A locked handheld attaches: its challenge opens the prompt.
  $wine "$handheld" --port "$port" --pin 0x2a0f --password secret attach >/dev/null 2>&1 &
  helper wait "Enter Password"
  shot password
  helper answer secret
  # The log tells of the handheld and its open channel.
  for _ in $(seq 100); do helper log | grep -q "Client successfully connected" && break; sleep 0.1; done
  helper show
  shot main-window
  helper exit
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w
}

shots 96 "" 1024x768
shots 144 -144dpi 1536x1152
echo "screenshots in $out"

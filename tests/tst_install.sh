#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs there: both
# programs, the desktop entry, the icon in every size, the metainfo, the manual pages and the
# changelog, and that the installed program starts. The desktop and AppStream validators run
# when they are installed.
#   tst_install.sh <cmake> <build dir> <version>
set -uo pipefail
cmake=$1
build=$2
version=$3
id=io.github.kavrel.kavrel

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$(mktemp -d)
home=$(mktemp -d)
trap 'rm -rf "$prefix" "$home"' EXIT

if ! "$cmake" --install "$build" --prefix "$prefix" >"$home/install.log" 2>&1; then
    cat "$home/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi

for program in kavrel kavrel-sim; do
    [[ -x $prefix/bin/$program ]] || fail "bin/$program is missing or not executable"
done

desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
[[ -f $desktop ]] || fail "share/applications/$id.desktop is missing"
[[ -f $metainfo ]] || fail "share/metainfo/$id.metainfo.xml is missing"
[[ -f $prefix/share/doc/kavrel/copyright ]] || fail "share/doc/kavrel/copyright is missing"

# Compressed as Debian wants them (gzip -9, no name, no time stamp): a manual page per program
# that names it and reads without a warning, and a changelog whose newest entry is this version.
for page in man/man1/kavrel.1.gz man/man1/kavrel-sim.1.gz doc/kavrel/changelog.gz; do
    header=$(od -An -tx1 -N9 "$prefix/share/$page" 2>/dev/null | tr -d ' \n')
    [[ $header == 1f8b08000000000002 ]] || fail "share/$page is missing or not gzip -9n ($header)"
done
for program in kavrel kavrel-sim; do
    page=$prefix/share/man/man1/$program.1.gz
    gzip -dc "$page" 2>/dev/null | grep -qx "$program \\\\- .*" \
        || fail "$program.1 does not name $program"
    if command -v man >/dev/null; then
        report=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [[ -z $report ]] || fail "man -l $program.1: $report"
    else
        echo "SKIP: man is not installed (Debian package man-db)"
    fi
done
gzip -dc "$prefix/share/doc/kavrel/changelog.gz" 2>/dev/null | head -n1 \
    | grep -q "^kavrel ($version) " || fail "the changelog's newest entry is not $version"

# The entry starts the installed program by name, with the themed icon, without a terminal.
for entry in Type=Application Name=Kavrel Exec=kavrel Icon=kavrel Terminal=false; do
    grep -qx "$entry" "$desktop" 2>/dev/null || fail "$id.desktop lacks $entry"
done
grep -qE '^Categories=(.*;)?Utility;' "$desktop" 2>/dev/null \
    || fail "$id.desktop is not in the Utility category"
grep -q "<id>$id</id>" "$metainfo" 2>/dev/null || fail "the metainfo's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" 2>/dev/null \
    || fail "the metainfo does not launch $id.desktop"

# Each icon is a PNG of the size its folder names (width and height from the IHDR chunk).
for size in 16 32 48 64 128 256; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/kavrel.png
    if [[ ! -f $icon ]]; then
        fail "icons/hicolor/${size}x${size}/apps/kavrel.png is missing"
        continue
    fi
    signature=$(od -An -tx1 -N8 "$icon" | tr -d ' \n')
    [[ $signature == 89504e470d0a1a0a ]] || fail "kavrel.png ${size}x${size} is no PNG"
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$icon")
    [[ $width == "$size" && $height == "$size" ]] \
        || fail "kavrel.png in ${size}x${size} is ${width}x${height}"
done

if command -v desktop-file-validate >/dev/null; then
    report=$(desktop-file-validate "$desktop" 2>&1)
    [[ -z $report ]] || fail "desktop-file-validate: $report"
else
    echo "SKIP: desktop-file-validate is not installed (Debian package desktop-file-utils)"
fi
if command -v appstreamcli >/dev/null; then
    # Every note counts, pedantic ones included; validate-tree also finds the entry and icon.
    report=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1)
    grep -q '^✔ Validation was successful\.$' <<<"$report" \
        || fail "appstreamcli validate: $report"
    appstreamcli validate-tree --no-net --strict "$prefix" >"$home/tree.log" 2>&1 \
        || fail "appstreamcli validate-tree: $(cat "$home/tree.log")"
else
    echo "SKIP: appstreamcli is not installed (Debian package appstream)"
fi

# The installed program starts, writes its settings and keeps running until it is stopped.
# Its folder is writable here, so the settings file is written beside it, with the defaults.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
settings=$prefix/bin/kavrel.ini
HOME=$home "$prefix/bin/kavrel" >"$home/run.log" 2>&1 &
pid=$!
for _ in $(seq 600); do
    [[ -s $settings ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
# A moment with the window up: a program that fails on showing it ends here.
sleep 2
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null
else
    wait "$pid"
    fail "the installed kavrel ended by itself (exit $?): $(cat "$home/run.log")"
fi
printf '%s\r\n' 0 2 0 0 0 0 0 0 0 0 0 0 >"$home/defaults.ini"
cmp -s "$home/defaults.ini" "$settings" || fail "bin/kavrel.ini does not hold the default settings"

if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "installed layout, desktop entry, icons, metainfo, manual pages and changelog are in order"

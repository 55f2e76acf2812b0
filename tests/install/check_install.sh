#!/usr/bin/env bash
# Checks of an installed Sitemora, run by CTest (exit 77 means skipped).
#   stage DESTDIR BUILD                      install BUILD with prefix /usr under DESTDIR
#   contents PREFIX APP_ID VERSION PROGRAM...  programs, manual pages, entry, icons,
#                                            documentation
#   validators PREFIX APP_ID                 desktop-file-validate, appstreamcli
#   menu-start PREFIX APP_ID                 the menu entry's command in a fresh account
set -uo pipefail

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs a program the way a terminal without any display would, so that one which reached
# for the window system before answering aborts instead of passing.
run_headless() {
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$@"
}

png_size() {
    # Width and height are the big-endian words at bytes 16 and 20 of the IHDR chunk.
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'
}

check_program() {
    local prefix=$1 version=$2 name=$3
    local exe="$prefix/bin/$name" out err status
    [ -x "$exe" ] || { fail "$exe is missing or not executable"; return; }
    gzip -t "$prefix/share/man/man1/$name.1.gz" 2>/dev/null || fail "no manual page for $name"

    out=$(run_headless "$exe" --help 2>&1)
    status=$?
    [ $status -eq 0 ] || fail "$name --help exits $status: $out"
    [[ $out == *"usage: $name"* ]] || fail "$name --help shows no usage line: $out"
    if [[ $out == *--help-all* ]]; then
        run_headless "$exe" --help-all >/dev/null 2>&1 || fail "$name --help-all does not exit 0"
    fi
    # The manual page tells of every option --help lists.
    local page option
    page=$(zcat "$prefix/share/man/man1/$name.1.gz" 2>/dev/null | tr -d '\\')
    for option in $(grep -oE '^ +(-[a-zA-Z], )?--[a-z][a-z-]*' <<<"$out" | grep -oE -- '--[a-z-]+'); do
        [[ $page == *"$option"* ]] || fail "the manual page of $name does not describe $option"
    done
    if [[ $out == *--version* ]]; then
        out=$(run_headless "$exe" --version 2>&1)
        status=$?
        [ $status -eq 0 ] && [ "$(head -n1 <<<"$out")" = "$name $version" ] ||
            fail "$name --version exits $status with '$out', not '$name $version' first"
        [[ $out == *"GNU GPL version 3 or later"* ]] ||
            fail "$name --version does not state the licence: $out"
    fi
    err=$(run_headless "$exe" --no-such-option 2>&1 >/dev/null)
    status=$?
    [ $status -eq 2 ] || fail "$name --no-such-option exits $status, not 2"
    [[ $err == *"usage: $name"* ]] || fail "$name --no-such-option shows no usage line: $err"
}

case "${1:-}" in
stage)
    destdir=$2 build=$3
    rm -rf "$destdir"
    DESTDIR="$destdir" cmake --install "$build" --prefix /usr >/dev/null || exit 1
    ;;
contents)
    prefix=$2 id=$3 version=$4
    shift 4
    # Somewhere a program that wrongly went on to its work can do no harm.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    cd "$scratch" || exit 1
    for name in "$@"; do
        check_program "$prefix" "$version" "$name"
    done
    # The backups the program makes on its own are kept to the number this variable says.
    zcat "$prefix/share/man/man1/sitemora.1.gz" | grep -q SITEMORA_BACKUPS ||
        fail "sitemora.1 does not describe SITEMORA_BACKUPS"
    doc="$prefix/share/doc/sitemora"
    for file in README.md json-format.md csv-format.md changelog; do
        gzip -t "$doc/$file.gz" 2>/dev/null || fail "no $doc/$file.gz"
    done
    # Machine-readable, and naming the licence of every part.
    copyright=$(cat "$doc/copyright" 2>/dev/null)
    [[ $copyright == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"* ]] ||
        fail "$doc/copyright is missing or not in the machine-readable format"
    for part in "License: GPL-3+" "Files: third_party/sqlite3mc/*" "public-domain" "MIT"; do
        [[ $copyright == *"$part"* ]] || fail "$doc/copyright does not name $part"
    done
    [ -f "$prefix/share/applications/$id.desktop" ] || fail "no desktop entry"
    [ -f "$prefix/share/metainfo/$id.metainfo.xml" ] || fail "no AppStream metadata"
    [ -f "$prefix/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"
    for size in 16 24 32 48 64 128 256; do
        png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
        if [ ! -f "$png" ]; then
            fail "no ${size}px icon"
        elif [ "$(png_size "$png")" != "${size}x${size}" ]; then
            fail "$png is $(png_size "$png")"
        fi
    done
    ;;
validators)
    prefix=$2 id=$3
    for tool in desktop-file-validate appstreamcli; do
        if ! command -v $tool >/dev/null; then
            echo "SKIP: $tool is not installed (Debian: desktop-file-utils, appstream)"
            exit 77
        fi
    done
    # Warnings count too: the entry is to pass clean.
    out=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1)
    [ $? -eq 0 ] && [ -z "$out" ] || fail "desktop-file-validate: $out"
    out=$(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" 2>&1) ||
        fail "appstreamcli validate: $out"
    ;;
menu-start)
    prefix=$2 id=$3
    entry="$prefix/share/applications/$id.desktop"
    exec_line=$(sed -n 's/^Exec=//p' "$entry")
    # Field codes (%f, %U, ...) stand for files the menu passes; it passes none here.
    read -r -a command <<<"${exec_line//%[a-zA-Z]/}"
    scratch=$(mktemp -d)
    trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$scratch"' EXIT
    pid=0
    # Once with the default data folder, once with XDG_DATA_HOME set, in a fresh account
    # each time; a menu starts programs in the home folder.
    for run in default custom; do
        home="$scratch/$run/home"
        mkdir -p "$home"
        folder="$home/.local/share/sitemora"
        data_env=(-u XDG_DATA_HOME)
        if [ $run = custom ]; then
            folder="$scratch/$run/data/sitemora"
            data_env=(XDG_DATA_HOME="$scratch/$run/data")
        fi
        (cd "$home" && exec env "${data_env[@]}" HOME="$home" PATH="$prefix/bin:$PATH" \
            QT_QPA_PLATFORM=offscreen "${command[@]}") >"$scratch/$run.log" 2>&1 &
        pid=$!
        # The program holds the catalogue open once the main window has listed it; a
        # failed open ("数据库打开失败") would leave it closed.
        opened=no
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            if [ "$(readlink "/proc/$pid/cwd")" = "$folder" ] &&
                ls -l "/proc/$pid/fd" 2>/dev/null | grep -q " $folder/Sitemora.mdb\$"; then
                opened=yes
                break
            fi
            sleep 0.2
        done
        kill -0 "$pid" 2>/dev/null || fail "$run: '${command[*]}' ended: $(cat "$scratch/$run.log")"
        [ $opened = yes ] || fail "$run: the program did not open $folder/Sitemora.mdb"
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        [ "$(stat -c %a "$folder" 2>/dev/null)" = 700 ] || fail "$run: $folder is not mode 700"
        [ "$(stat -c %a "$folder/Sitemora.mdb" 2>/dev/null)" = 600 ] ||
            fail "$run: $folder/Sitemora.mdb is not mode 600"
        [ ! -e "$home/Sitemora.mdb" ] || fail "$run: a catalogue was written in the home folder"
    done
    ;;
*)
    echo "usage: $0 stage|contents|validators|menu-start ..." >&2
    exit 2
    ;;
esac

[ $failures -eq 0 ] || exit 1
echo "passed"

#!/bin/sh
# Installs what Packrig needs to build and test on Debian 12 (run as root). Everything comes from
# Debian's packages; liblzma for the Windows builder is built here from Debian's source package.
set -eu
export DEBIAN_FRONTEND=noninteractive

# Runs an apt-get command again after a pause when it fails: a dropped connection, or a mirror
# caught mid-sync whose index files disagree with its Release file for a few minutes.
apt_get() {
    try=1
    until apt-get -o Acquire::Retries=3 "$@"; do
        if [ "$try" -ge 4 ]; then
            echo "setup-debian: apt-get $* failed $try times" >&2
            return 1
        fi
        pause=$((try * 30))
        echo "setup-debian: apt-get $* failed; trying again in $pause s" >&2
        sleep "$pause"
        try=$((try + 1))
    done
}

packages="cmake ninja-build pkg-config g++ python3 git dpkg-dev file
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    libgtest-dev libbenchmark-dev clang libclang-rt-14-dev liblzma-dev xz-utils
    zlib1g-dev libz-mingw-w64-dev
    wine wine64
    xvfb xauth xdotool imagemagick util-linux procps faketime strace
    qt6-base-dev qt6-qpa-plugins fonts-liberation fonts-dejavu-core
    lintian osslsigncode openssl ca-certificates"

# wine32 is the one package of another architecture. When a mirror cannot serve a consistent i386
# index, apt keeps none for that archive, and mixing i386 packages of one release with amd64 ones of
# another does not install. Then the machine goes without wine32, where nothing of i386 is installed
# yet: the tests find that no 32-bit program starts and run the x86_64 twins instead.
has_i386_packages() {
    dpkg-query -W -f '${Architecture}\n' | grep -qx i386
}
dpkg --add-architecture i386
wine32=wine32:i386
if apt_get update -qq; then
    :
elif has_i386_packages; then
    echo "setup-debian: going on with the package lists apt kept" >&2
else
    echo "setup-debian: warning: no consistent i386 index; installing without wine32, so the" \
        "wine tests will run the x86_64 twins" >&2
    dpkg --remove-architecture i386
    apt_get update -qq
    wine32=
fi
# shellcheck disable=SC2086 # the package list splits into words on purpose
apt_get install -y -qq --no-install-recommends $packages $wine32

# Source lines for the archives the machine already installs from, once.
add_source_lists() {
    [ -z "${sources_added:-}" ] || return 0
    sources_added=1
    src_list=/etc/apt/sources.list.d/packrig-src.sources
    : > "$src_list.new"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$src_list" ] || sed 's/^Types:.*$/Types: deb-src/' "$f" >> "$src_list.new"
        echo >> "$src_list.new"
    done
    mv "$src_list.new" "$src_list"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list > /etc/apt/sources.list.d/packrig-src.list
    fi
    apt_get update -qq || echo "setup-debian: going on with the source lists apt kept" >&2
}

# liblzma for the cross builds: Debian has no mingw package of it, so build the static library
# from the source package of the very version that the native build links, so that both builders
# encode alike. Skipped when already built.
mingw_lzma_root=/opt/packrig-mingw
hosts="i686-w64-mingw32 x86_64-w64-mingw32"

# True when the stamp file $1, a path below each host's folder, exists for every host.
built_for_all_hosts() {
    for host in $hosts; do
        [ -f "$mingw_lzma_root/$host/$1" ] || return 1
    done
}

# The upstream part of the Debian version $1: no epoch, no Debian revision.
upstream_of() {
    echo "$1" | sed 's/^[0-9]*://; s/-[^-]*$//'
}

# Unpacks the source package $1 at version $2 into the folder $3 of a new scratch folder, whose
# path it sets in $work. A mirror may list a security update's source without serving it; then
# another revision of the same upstream version serves (Debian's updates patch other parts of
# these packages than the library code built here). Each candidate is tried once, then the exact
# version again with the usual pauses, for a connection that dropped.
fetch_source() {
    add_source_lists
    work=$(mktemp -d)
    upstream=$(upstream_of "$2")
    candidates="$2 $(apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -ru |
        while read -r v; do
            if [ "$(upstream_of "$v")" = "$upstream" ] && [ "$v" != "$2" ]; then echo "$v"; fi
        done)"
    for version in $candidates; do
        if (cd "$work" && apt-get -o Acquire::Retries=3 source -qq --download-only "$1=$version"); then
            [ "$version" = "$2" ] || echo "setup-debian: $1 $2 cannot be fetched; built from $version" >&2
            (cd "$work" && dpkg-source -x --no-check ./*.dsc "$3" >/dev/null)
            return
        fi
        rm -rf "${work:?}"/*
    done
    (cd "$work" && apt_get source -qq --download-only "$1=$2" &&
        dpkg-source -x --no-check ./*.dsc "$3" >/dev/null)
}

lzma_version=$(dpkg-query -W -f '${Version}' liblzma-dev)
if ! built_for_all_hosts ".version-$lzma_version"; then
    fetch_source xz-utils "$lzma_version" xz
    for host in $hosts; do
        rm -rf "$work/build-$host" "${mingw_lzma_root:?}/$host"
        mkdir -p "$work/build-$host"
        (cd "$work/build-$host" && ../xz/configure -q --host="$host" \
            --prefix="$mingw_lzma_root/$host" --disable-shared --enable-static \
            --disable-threads --disable-xz --disable-xzdec --disable-lzmadec \
            --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc \
            --disable-nls && make -s -j2 -C src/liblzma && make -s -C src/liblzma install)
        touch "$mingw_lzma_root/$host/.version-$lzma_version"
    done
    rm -rf "$work"
fi

# zlib's deflate for the decoding runtime module, built for size (-Os, no unwind tables) from
# Debian's source package of the very version that zlib1g-dev and libz-mingw-w64-dev hold: it
# deflates exactly as the builders' zlib, and keeps the module within its size. Only deflate and
# what it calls are built. Skipped when already built.
zlib_version=$(dpkg-query -W -f '${Version}' zlib1g-dev)
if ! built_for_all_hosts "zlib-size/.version-$zlib_version"; then
    fetch_source zlib "$zlib_version" zlib
    for host in $hosts; do
        out=$mingw_lzma_root/$host/zlib-size
        rm -rf "$out"
        mkdir -p "$out/lib" "$out/include" "$work/obj-$host"
        for f in deflate trees zutil; do
            "$host-gcc" -Os -DSTDC -ffunction-sections -fdata-sections \
                -fno-asynchronous-unwind-tables -c "$work/zlib/$f.c" -o "$work/obj-$host/$f.o"
        done
        "$host-ar" rcs "$out/lib/libz.a" "$work/obj-$host"/*.o
        cp "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$out/include/"
        touch "$out/.version-$zlib_version"
    done
    rm -rf "$work"
fi

#!/bin/sh
# Installs what Packrig needs to build and test on Debian 12 (run as root). Everything comes from
# Debian's packages.
set -eu
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    cmake ninja-build g++ python3 git dpkg-dev file \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 \
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
    libgtest-dev libbenchmark-dev clang libclang-rt-14-dev \
    wine wine64 wine32:i386 \
    xvfb xauth xdotool imagemagick util-linux procps faketime \
    qt6-base-dev qt6-qpa-plugins fonts-liberation fonts-dejavu-core \
    lintian osslsigncode openssl ca-certificates

#!/usr/bin/env bash
# build_windows.sh [BUILD_DIR [cmake options...]]: cross-builds the Windows executables
# (static qar_packer.exe and gdeflate_tool.exe, and the unit test programs) with
# mingw-w64. Installs what is missing: the cross compiler, Debian's zlib for it and
# Wine (which runs the tests). Zstandard, libdeflate and GoogleTest are built from their
# Debian sources inside BUILD_DIR/deps; nothing is added to the repository.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-windows}
[[ $# -gt 0 ]] && shift
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
deps=$dir/deps
prefix=$deps/prefix
toolchain=$top/cmake/mingw-w64-x86_64.cmake
triple=x86_64-w64-mingw32

install_packages() {
  local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                  mingw-w64-x86-64-dev libz-mingw-w64-dev wine wine64 libstb-dev googletest
                  cmake ninja-build xz-utils ca-certificates)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The machine's own Debian archive (the first "deb" entry of its apt sources), asked for
# source packages through a private apt configuration: the system's is left as it is.
debian_archive() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk '/^URIs:/ && !done { print $2; done = 1 }' "$file"
    return
  done
  awk '$1 == "deb" { for (i = 2; i <= NF; ++i) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; exit } }' \
    /etc/apt/sources.list
}

fetch_sources() {
  local apt=$deps/apt archive suite keyring
  if compgen -G "$deps/src/libzstd_*.orig.tar.*" >/dev/null && compgen -G "$deps/src/libdeflate_*.orig.tar.*" >/dev/null; then
    return
  fi
  archive=$(debian_archive)
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [[ -n $archive && -n $suite ]] || { echo "build_windows.sh: no Debian archive in the apt sources" >&2; exit 1; }
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$deps/src"
  echo "deb-src [signed-by=$keyring] $archive $suite main" >"$apt/sources.list"
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/none"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "Dir::Cache::Archives=$apt/archives"
                 -o "APT::Sandbox::User=root")
  apt-get "${options[@]}" update -qq
  (cd "$deps/src" && apt-get "${options[@]}" source --download-only -qq libzstd libdeflate >/dev/null)
}

unpack() {  # unpack NAME: the upstream tarball of Debian source package NAME; prints its directory
  local tarball
  tarball=$(compgen -G "$deps/src/${1}_*.orig.tar.*" | head -n 1)
  local target=$deps/src/$1
  if [[ ! -d $target ]]; then
    mkdir -p "$target"
    tar -xf "$tarball" -C "$target" --strip-components=1
  fi
  echo "$target"
}

cross_cmake() {  # cross_cmake SOURCE BUILD [options...]
  local source=$1 build=$2
  shift 2
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >/dev/null
  ninja -C "$build" install >/dev/null
}

build_zstd() {
  [[ -f $prefix/lib/libzstd.a ]] && return
  local source
  source=$(unpack libzstd)
  cross_cmake "$source/build/cmake" "$deps/build/zstd" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
    -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_MULTITHREAD_SUPPORT=OFF
}

# libdeflate of this release builds with make only; the same sources as a static library
# through the toolchain file, so that its vector code gets the toolchain's flags.
build_libdeflate() {
  [[ -f $prefix/lib/libdeflate.a ]] && return
  local source recipe=$deps/recipes/libdeflate
  source=$(unpack libdeflate)
  mkdir -p "$recipe"
  cat >"$recipe/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.13)
project(libdeflate C)
file(GLOB sources "$source/lib/*.c" "$source/lib/x86/*.c" "$source/lib/arm/*.c")
add_library(deflate STATIC \${sources})
target_include_directories(deflate PRIVATE "$source")
install(TARGETS deflate ARCHIVE DESTINATION lib)
install(FILES "$source/libdeflate.h" DESTINATION include)
EOF
  cross_cmake "$recipe" "$deps/build/libdeflate"
}

build_googletest() {
  [[ -f $prefix/lib/libgtest.a ]] && return
  cross_cmake /usr/src/googletest "$deps/build/googletest" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}

install_packages
fetch_sources
build_zstd
build_libdeflate
build_googletest

cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DUMBRA_WINDOWS_DEPS="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DUMBRA_BUILD_BENCH=OFF -DUMBRA_BUILD_TESTS=ON \
  -DSTB_INCLUDE_DIR=/usr/include/stb -DZLIB_LIBRARY="/usr/$triple/lib/libz.a" \
  -DZLIB_INCLUDE_DIR="/usr/$triple/include" "$@" >/dev/null
ninja -C "$dir"

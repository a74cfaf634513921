#!/usr/bin/env bash
# Builds the static Windows (x86_64-w64-mingw32, POSIX threads) dependencies
# from Debian source packages into a cache outside the clone, and prints the
# prefix on the last line of stdout:
#
#   PREFIX=$(scripts/build-win-deps.sh | tail -1)
#
# Cache: ${VN_WIN_DEPS_CACHE:-$HOME/.cache/vn-win-deps}/<key>, where <key> is
# a short hash of the recipe version and the source versions used. A prefix
# whose .complete stamp exists is reused as is; <cache>/current points to the
# last complete one (the toolchain file's default). Everything but the prefix
# line goes to stderr; each build's log is kept in the work dir on failure.
#
# Contents of the prefix: include/ + lib/ for libsodium, opus, openh264
# (include/wels), ISA-L, GoogleTest/GoogleMock (with lib/cmake/GTest), and
# symlinks to the header-only asio, nlohmann json, spdlog, fmt and Boost headers
# (staged again on every run, so a reused prefix gets links added later).
# See cmake/win-deps.txt for how to compile and link against them.
set -euo pipefail

# Bump when a recipe below changes, so a new prefix gets built.
RECIPE_VERSION=1

exec 3>&1 1>&2   # stdout is only for the final prefix line

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$SCRIPT_DIR/.." && pwd)
TOOLCHAIN="$REPO_ROOT/cmake/toolchains/mingw-w64-x86_64.cmake"
CACHE_DIR=${VN_WIN_DEPS_CACHE:-$HOME/.cache/vn-win-deps}
TRIPLE=x86_64-w64-mingw32
WCC=$TRIPLE-gcc-posix
WCXX=$TRIPLE-g++-posix
JOBS=$(nproc)
SRC_PACKAGES=(libsodium opus openh264 libisal)

log() { echo "[build-win-deps] $*" >&2; }
die() { echo "[build-win-deps] ERROR: $*" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# ---------------------------------------------------------------- apt helpers
APT_UPDATED=0
apt_update() {
  log "apt-get update"
  $SUDO apt-get update -qq || die "apt-get update failed"
  APT_UPDATED=1
}

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] \
      || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    [ "$APT_UPDATED" = 1 ] && die "apt-get install ${missing[*]} failed"
    apt_update
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      || die "apt-get install ${missing[*]} failed"
  fi
}

# Writes $2 to $1 unless it already has that content; returns 0 if it wrote.
write_if_changed() {
  if [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; then return 1; fi
  printf '%s\n' "$2" | $SUDO tee "$1" >/dev/null
  log "wrote $1"
}

# Adds deb-src entries mirroring the machine's deb entries, as companion files
# (the machine's own source files are left untouched).
enable_deb_src() {
  local d=/etc/apt/sources.list.d changed=0 f content
  local src822="$d/vn-deb-src.sources" srclist="$d/vn-deb-src.list"

  if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | awk '$0 == "Sources" { f = 1 } END { exit !f }'; then
    return 1   # some deb-src is configured already
  fi

  # deb822 (Debian 12: debian.sources): copy each enabled "deb" stanza as
  # "deb-src".
  content=""
  for f in "$d"/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src822" ] || continue
    content+=$(awk '
      BEGIN { RS = "" }
      {
        n = split($0, L, "\n"); types = ""; enabled = "yes"
        for (i = 1; i <= n; i++) {
          l = tolower(L[i])
          if (l ~ /^types:/)   { types = l;   sub(/^[^:]*:[ \t]*/, "", types) }
          if (l ~ /^enabled:/) { enabled = l; sub(/^[^:]*:[ \t]*/, "", enabled) }
        }
        nt = split(types, T, /[ \t]+/); hasdeb = 0; hassrc = 0
        for (j = 1; j <= nt; j++) { if (T[j] == "deb") hasdeb = 1; if (T[j] == "deb-src") hassrc = 1 }
        if (!hasdeb || hassrc || enabled == "no") next
        for (i = 1; i <= n; i++) {
          l = L[i]
          if (l ~ /^#/) continue
          if (tolower(l) ~ /^types:/) l = "Types: deb-src"
          print l
        }
        print ""
      }' "$f")
    content+=$'\n\n'
  done
  content=$(printf '%s' "$content" | sed -e '/./,$!d')   # drop leading blanks
  if [ -n "$content" ]; then
    write_if_changed "$src822" "# deb-src companion written by scripts/build-win-deps.sh
$content" && changed=1
  fi

  # Classic one-line format.
  content=$(cat /etc/apt/sources.list "$d"/*.list 2>/dev/null \
    | grep -E '^[[:space:]]*deb[[:space:]]' \
    | sed -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /' || true)
  if [ -n "$content" ]; then
    write_if_changed "$srclist" "# deb-src companion written by scripts/build-win-deps.sh
$content" && changed=1
  fi

  [ "$changed" = 1 ]
}

have_sources() {
  local p
  for p in "${SRC_PACKAGES[@]}"; do
    # (no "| grep -q": with pipefail, grep quitting early fails the pipe)
    [ -n "$(apt-cache showsrc --only-source "$p" 2>/dev/null | awk '/^Version:/')" ] || return 1
  done
}

# Highest source version apt knows for package $1.
src_version() {
  local best="" v
  for v in $(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }'); do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  [ -n "$best" ] || die "no source package '$1' known to apt"
  echo "$best"
}

bin_version() { dpkg-query -W -f='${Version}' "$1"; }

# ------------------------------------------------------------ 1. build tools
log "checking build tools"
ensure_packages \
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  autoconf automake libtool pkg-config nasm yasm make cmake dpkg-dev googletest \
  libasio-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libboost-dev
for t in "$WCC" "$WCXX" "$TRIPLE-ar" "$TRIPLE-windres" nasm yasm autoreconf cmake; do
  command -v "$t" >/dev/null || die "missing tool $t after install"
done

# ------------------------------------------------------------ 2. deb-src
if ! have_sources; then
  enable_deb_src || true
  apt_update
  have_sources || die "apt still knows no source packages for ${SRC_PACKAGES[*]}"
fi

# ------------------------------------------------------------ 3. cache key
KEY_STR="recipe=$RECIPE_VERSION"
declare -A SRC_VER
for p in "${SRC_PACKAGES[@]}"; do
  SRC_VER[$p]=$(src_version "$p")
  KEY_STR+=" $p=${SRC_VER[$p]}"
done
KEY_STR+=" googletest=$(bin_version googletest)"
KEY_STR+=" gcc-mingw-w64-x86-64-posix=$(bin_version gcc-mingw-w64-x86-64-posix)"
KEY=$(printf '%s' "$KEY_STR" | sha256sum | cut -c1-12)
PREFIX="$CACHE_DIR/$KEY"
log "key $KEY: $KEY_STR"

# Header-only libraries: symlinks to the Debian -dev headers, so /usr/include
# itself never lands on a Windows compile line.
# spdlog (Debian builds it as a compiled lib, against external fmt) is used
# header-only: define SPDLOG_FMT_EXTERNAL and FMT_HEADER_ONLY, and neither
# SPDLOG_COMPILED_LIB (undefined references at link time) nor
# SPDLOG_HEADER_ONLY (common.h defines it itself; redefinition warning).
# Also run by finish(), so a reused prefix gets links added since it was built.
stage_headers() {
  local h
  mkdir -p "$PREFIX/include"
  for h in asio.hpp asio nlohmann spdlog fmt boost; do
    [ -e "/usr/include/$h" ] || die "/usr/include/$h missing"
    # Only when missing or different: a build may be reading the prefix.
    [ "$(readlink "$PREFIX/include/$h" 2>/dev/null)" = "/usr/include/$h" ] \
      || ln -sfn "/usr/include/$h" "$PREFIX/include/$h"
  done
}

finish() {
  stage_headers
  ln -sfn "$KEY" "$CACHE_DIR/current"
  log "prefix ready"
  echo "$PREFIX" >&3
  exit 0
}

mkdir -p "$CACHE_DIR"
[ -f "$PREFIX/.complete" ] && { log "reusing cached $PREFIX"; finish; }

exec 9>"$CACHE_DIR/$KEY.lock"
flock 9   # another run may be building the same prefix
[ -f "$PREFIX/.complete" ] && { log "reusing cached $PREFIX"; finish; }

mkdir -p "$PREFIX/include" "$PREFIX/lib" "$PREFIX/.stamps"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vn-win-deps.XXXXXX")
chmod 755 "$WORK"   # apt-get source downloads as user _apt
OK=0
cleanup() {
  if [ "$OK" = 1 ]; then rm -rf "$WORK"; else log "work dir kept for inspection: $WORK"; fi
}
trap cleanup EXIT

# fetch_source PKG -> prints the unpacked source tree path
fetch_source() {
  local pkg=$1 dir="$WORK/src-$1"
  mkdir -p "$dir"
  chmod 755 "$dir"
  (cd "$dir" && apt-get source -qq "$pkg=${SRC_VER[$pkg]}" >&2) || die "apt-get source $pkg failed"
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1
}

autotools_build() { # SRC [configure args...]
  local src=$1; shift
  cd "$src"
  ./configure --host="$TRIPLE" --prefix="$PREFIX" --disable-shared --enable-static \
    CC="$WCC" CXX="$WCXX" "$@"
  make -j"$JOBS"
  make install
}

build_libsodium() {
  local src; src=$(fetch_source libsodium)
  (cd "$src" && autoreconf -fi)
  autotools_build "$src"
}

build_opus() {
  local src; src=$(fetch_source opus)
  (cd "$src" && autoreconf -fi)
  # Its configure adds -D_FORTIFY_SOURCE=2, which on mingw needs __memcpy_chk
  # from libssp at link time; turn it off.
  autotools_build "$src" CPPFLAGS=-D_FORTIFY_SOURCE=0 --disable-doc --disable-extra-programs
}

build_openh264() {
  local src; src=$(fetch_source openh264)
  cd "$src"
  local args=(OS=mingw_nt ARCH=x86_64 CC="$WCC" CXX="$WCXX" AR="$TRIPLE-ar" PREFIX="$PREFIX")
  make -j"$JOBS" "${args[@]}" install-static
  [ -f "$PREFIX/include/wels/codec_api.h" ] || die "openh264: include/wels/codec_api.h missing"
  [ -f "$PREFIX/lib/libopenh264.a" ] || die "openh264: lib/libopenh264.a missing"
}

build_isal() {
  local src; src=$(fetch_source libisal)
  (cd "$src" && ./autogen.sh)
  autotools_build "$src"
}

build_googletest() {
  local b="$WORK/googletest-build"
  cmake -S /usr/src/googletest -B "$b" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DVN_WIN_DEPS_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=OFF
  cmake --build "$b" -j"$JOBS"
  cmake --install "$b"
  local f
  for f in libgtest.a libgtest_main.a libgmock.a libgmock_main.a cmake/GTest/GTestConfig.cmake; do
    [ -e "$PREFIX/lib/$f" ] || die "googletest: lib/$f missing"
  done
}

# Cross-compiles a small program using every dependency, via the toolchain and
# find_package/find_library, and leaves it at share/vn-win-deps/smoke.exe
# (run it with scripts/wine-run.sh).
build_smoke() {
  local s="$WORK/smoke"
  mkdir -p "$s"
  cat >"$s/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(vn_win_smoke CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
find_package(GTest CONFIG REQUIRED)
find_package(Threads REQUIRED)
foreach(lib sodium opus openh264 isal)
  find_library(VN_${lib}_LIB NAMES ${lib} REQUIRED)
endforeach()
find_path(VN_ASIO_INC asio.hpp REQUIRED)
add_executable(smoke smoke.cpp)
target_compile_definitions(smoke PRIVATE
  SODIUM_STATIC SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
target_include_directories(smoke PRIVATE ${VN_ASIO_INC})
target_link_libraries(smoke PRIVATE GTest::gmock GTest::gtest_main
  ${VN_sodium_LIB} ${VN_opus_LIB} ${VN_openh264_LIB} ${VN_isal_LIB}
  ws2_32 mswsock advapi32 Threads::Threads)
EOF
  cat >"$s/smoke.cpp" <<'EOF'
#include <asio.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <sodium.h>
#include <opus/opus.h>
#include <wels/codec_api.h>
#include <isa-l/erasure_code.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <thread>
#include <vector>

TEST(WinDeps, Sodium) {
  ASSERT_GE(sodium_init(), 0);
  unsigned char key[crypto_secretbox_KEYBYTES], nonce[crypto_secretbox_NONCEBYTES];
  randombytes_buf(key, sizeof key);
  randombytes_buf(nonce, sizeof nonce);
  const unsigned char msg[] = "hello";
  unsigned char box[sizeof msg + crypto_secretbox_MACBYTES], out[sizeof msg];
  crypto_secretbox_easy(box, msg, sizeof msg, nonce, key);
  ASSERT_EQ(crypto_secretbox_open_easy(out, box, sizeof box, nonce, key), 0);
  EXPECT_EQ(std::memcmp(out, msg, sizeof msg), 0);
}

TEST(WinDeps, Opus) {
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &err);
  ASSERT_EQ(err, OPUS_OK);
  std::vector<opus_int16> pcm(480 * 2, 0);
  unsigned char pkt[1500];
  EXPECT_GT(opus_encode(enc, pcm.data(), 480, pkt, sizeof pkt), 0);
  opus_encoder_destroy(enc);
}

TEST(WinDeps, OpenH264) {
  ISVCEncoder* enc = nullptr;
  ASSERT_EQ(WelsCreateSVCEncoder(&enc), 0);
  ASSERT_NE(enc, nullptr);
  WelsDestroySVCEncoder(enc);
}

TEST(WinDeps, Isal) {
  constexpr int k = 4, m = 2, len = 64;
  std::array<unsigned char, (k + m) * k> a{};
  std::array<unsigned char, k * m * 32> tbls{};
  gf_gen_cauchy1_matrix(a.data(), k + m, k);
  ec_init_tables(k, m, &a[k * k], tbls.data());
  std::vector<std::vector<unsigned char>> buf(k + m, std::vector<unsigned char>(len));
  for (int i = 0; i < k; ++i) for (int j = 0; j < len; ++j) buf[i][j] = (unsigned char)(i * 31 + j);
  unsigned char* data[k]; unsigned char* coding[m];
  for (int i = 0; i < k; ++i) data[i] = buf[i].data();
  for (int i = 0; i < m; ++i) coding[i] = buf[k + i].data();
  ec_encode_data(len, k, m, tbls.data(), data, coding);
  SUCCEED();
}

TEST(WinDeps, JsonSpdlogThreads) {
  auto j = nlohmann::json::parse(R"({"a": 1, "b": [true, null]})");
  EXPECT_EQ(j["a"].get<int>(), 1);
  auto path = (std::filesystem::temp_directory_path() / "vn-win-deps-smoke.log").string();
  auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
  auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, 1 << 20, 2);
  spdlog::logger logger("smoke", {console, file});
  std::thread t([&] { logger.info("json {} from a std::thread", j.dump()); });
  t.join();
  logger.flush();
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(WinDeps, AsioLoopback) {
  asio::io_context io;
  asio::ip::tcp::acceptor acc(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket client(io), server(io);
  client.connect(acc.local_endpoint());
  acc.accept(server);
  asio::write(client, asio::buffer("ping", 4));
  char got[4];
  asio::read(server, asio::buffer(got, 4));
  EXPECT_EQ(std::string(got, 4), "ping");
}

struct Clock { virtual ~Clock() = default; virtual int Now() = 0; };
struct MockClock : Clock { MOCK_METHOD(int, Now, (), (override)); };
TEST(WinDeps, Gmock) {
  MockClock c;
  EXPECT_CALL(c, Now()).WillOnce(::testing::Return(42));
  EXPECT_EQ(c.Now(), 42);
}
EOF
  cmake -S "$s" -B "$s/build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DVN_WIN_DEPS_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release
  cmake --build "$s/build" -j"$JOBS"
  mkdir -p "$PREFIX/share/vn-win-deps"
  cp "$s/build/smoke.exe" "$PREFIX/share/vn-win-deps/smoke.exe"
  cp "$s/smoke.cpp" "$s/CMakeLists.txt" "$PREFIX/share/vn-win-deps/"
}

# step NAME FUNCTION: runs once per prefix, output in $WORK/NAME.log
step() {
  local name=$1 fn=$2 t0=$SECONDS
  if [ -f "$PREFIX/.stamps/$name" ]; then log "$name: already built"; return 0; fi
  log "$name: building (log: $WORK/$name.log)"
  local rc=0
  set +e   # not "if ! (...)": that would disable errexit inside the subshell
  ( set -euo pipefail; "$fn" ) >"$WORK/$name.log" 2>&1
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    tail -n 40 "$WORK/$name.log" >&2
    die "$name failed (exit $rc); full log: $WORK/$name.log"
  fi
  touch "$PREFIX/.stamps/$name"
  log "$name: done in $((SECONDS - t0)) s"
}

T0=$SECONDS
step libsodium  build_libsodium
step opus       build_opus
step openh264   build_openh264
step isal       build_isal
step googletest build_googletest
step headers    stage_headers
step smoke      build_smoke

printf '%s\n' "$KEY_STR" >"$PREFIX/versions.txt"
printf '%s\n' "$KEY_STR" >"$PREFIX/.complete"   # written last: marks the prefix usable
OK=1
log "all built in $((SECONDS - T0)) s"
finish

# CMake toolchain: cross-compile for 64-bit Windows with Debian's mingw-w64
# (x86_64-w64-mingw32, POSIX thread model, so std::thread/std::mutex work).
#
# Usage:
#   PREFIX=$(scripts/build-win-deps.sh | tail -1)
#   cmake -S . -B build-win \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
#     -DVN_WIN_DEPS_PREFIX="$PREFIX"
#   cmake --build build-win && scripts/run-wine-tests.sh build-win
#
# Dependency prefix (static Windows libs + staged headers), first match wins:
#   1. cache variable  -DVN_WIN_DEPS_PREFIX=...
#   2. environment     VN_WIN_DEPS_PREFIX=...
#   3. the "current" link that scripts/build-win-deps.sh updates after each
#      complete build: ${VN_WIN_DEPS_CACHE:-$HOME/.cache/vn-win-deps}/current
# find_library/find_path/find_package look only in that prefix and in the
# mingw-w64 runtime root (/usr/x86_64-w64-mingw32), never in /usr/include or
# /usr/lib. Host programs (find_program) are still found on the host.
#
# Tests: CMAKE_CROSSCOMPILING_EMULATOR is scripts/wine-run.sh, so add_test()
# and gtest_discover_tests() run the .exe files through Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VN_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${VN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VN_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${VN_MINGW_TRIPLE}-ar     CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB       ${VN_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_NM           ${VN_MINGW_TRIPLE}-nm     CACHE FILEPATH "nm")
set(CMAKE_STRIP        ${VN_MINGW_TRIPLE}-strip  CACHE FILEPATH "strip")
set(CMAKE_OBJCOPY      ${VN_MINGW_TRIPLE}-objcopy CACHE FILEPATH "objcopy")

# Resolve the dependency prefix (see header).
if(NOT VN_WIN_DEPS_PREFIX)
  if(DEFINED ENV{VN_WIN_DEPS_PREFIX} AND NOT "$ENV{VN_WIN_DEPS_PREFIX}" STREQUAL "")
    set(VN_WIN_DEPS_PREFIX "$ENV{VN_WIN_DEPS_PREFIX}")
  else()
    if(DEFINED ENV{VN_WIN_DEPS_CACHE} AND NOT "$ENV{VN_WIN_DEPS_CACHE}" STREQUAL "")
      set(_vn_cache "$ENV{VN_WIN_DEPS_CACHE}")
    else()
      set(_vn_cache "$ENV{HOME}/.cache/vn-win-deps")
    endif()
    set(VN_WIN_DEPS_PREFIX "${_vn_cache}/current")
    unset(_vn_cache)
  endif()
endif()
# Resolve the "current" symlink so paths in the cache are stable.
get_filename_component(VN_WIN_DEPS_PREFIX "${VN_WIN_DEPS_PREFIX}" REALPATH)
set(VN_WIN_DEPS_PREFIX "${VN_WIN_DEPS_PREFIX}" CACHE PATH
    "Prefix of the Windows dependencies built by scripts/build-win-deps.sh")
# Toolchain files are re-read inside try_compile projects: pass it along.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VN_WIN_DEPS_PREFIX)
if(NOT EXISTS "${VN_WIN_DEPS_PREFIX}/.complete")
  message(WARNING "VN_WIN_DEPS_PREFIX='${VN_WIN_DEPS_PREFIX}' is not a complete "
                  "dependency prefix; run scripts/build-win-deps.sh")
endif()

set(CMAKE_FIND_ROOT_PATH "${VN_WIN_DEPS_PREFIX}" "/usr/${VN_MINGW_TRIPLE}")
list(APPEND CMAKE_PREFIX_PATH "${VN_WIN_DEPS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Host package registries (~/.cmake/packages) hold Linux packages.
set(CMAKE_FIND_USE_PACKAGE_REGISTRY OFF)
set(CMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY OFF)

# Self-contained executables: no libgcc/libstdc++/libwinpthread DLLs needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Run cross-compiled executables (tests, gtest discovery) through Wine.
get_filename_component(_vn_repo_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_vn_repo_root}/scripts/wine-run.sh")
unset(_vn_repo_root)

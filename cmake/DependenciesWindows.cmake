# Windows cross build: static libraries and staged headers in VN_WIN_DEPS_PREFIX
# (made by scripts/build-win-deps.sh; the toolchain file resolves the prefix).
if(NOT VN_WIN_DEPS_PREFIX OR NOT EXISTS "${VN_WIN_DEPS_PREFIX}/include")
  message(FATAL_ERROR "No Windows dependency prefix; run scripts/build-win-deps.sh")
endif()
set(_vn_include "${VN_WIN_DEPS_PREFIX}/include")

# vn_import_static(<target> <library file> [system libraries...])
function(vn_import_static target file)
  set(path "${VN_WIN_DEPS_PREFIX}/lib/${file}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "Missing ${path}; run scripts/build-win-deps.sh")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${path}"
    INTERFACE_INCLUDE_DIRECTORIES "${_vn_include}"
    INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

vn_import_static(vn_sodium libsodium.a advapi32)
set_property(TARGET vn_sodium APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
vn_import_static(vn_opus libopus.a)
# <opus.h> as on Linux, where pkg-config adds include/opus.
set_property(TARGET vn_opus APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${_vn_include}/opus")
vn_import_static(vn_openh264 libopenh264.a)
vn_import_static(vn_isal libisal.a)

add_library(vn::sodium ALIAS vn_sodium)
add_library(vn::opus ALIAS vn_opus)
add_library(vn::openh264 ALIAS vn_openh264)
add_library(vn::isal ALIAS vn_isal)

# Header-only on Windows: spdlog over an external header-only fmt.
add_library(vn_spdlog INTERFACE)
target_include_directories(vn_spdlog SYSTEM INTERFACE "${_vn_include}")
target_compile_definitions(vn_spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)
add_library(vn::spdlog ALIAS vn_spdlog)

add_library(vn_json INTERFACE)
target_include_directories(vn_json SYSTEM INTERFACE "${_vn_include}")
add_library(vn::json ALIAS vn_json)

add_library(vn_asio INTERFACE)
target_include_directories(vn_asio SYSTEM INTERFACE "${_vn_include}")
target_compile_definitions(vn_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED _WIN32_WINNT=0x0A00)
target_link_libraries(vn_asio INTERFACE ws2_32 mswsock Threads::Threads)
add_library(vn::asio ALIAS vn_asio)

# Header-only Boost (Asio + Beast) for the test backend; the prefix links
# include/boost to the Debian headers.
if(NOT EXISTS "${_vn_include}/boost/beast.hpp")
  message(FATAL_ERROR "No boost/beast.hpp in ${_vn_include}; run scripts/build-win-deps.sh")
endif()
add_library(vn_boost INTERFACE)
target_include_directories(vn_boost SYSTEM INTERFACE "${_vn_include}")
target_compile_definitions(vn_boost INTERFACE BOOST_ALL_NO_LIB BOOST_ASIO_NO_DEPRECATED _WIN32_WINNT=0x0A00)
target_link_libraries(vn_boost INTERFACE ws2_32 mswsock Threads::Threads)
add_library(vn::boost ALIAS vn_boost)

if(VN_BUILD_TESTS)
  find_package(GTest CONFIG REQUIRED)
endif()

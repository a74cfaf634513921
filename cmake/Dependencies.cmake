# Third-party libraries as imported targets with one name on every platform:
#   vn::sodium vn::opus vn::openh264 vn::isal vn::spdlog vn::json vn::asio
#   vn::boost (header-only Boost: Asio and Beast, for the test backend)
# Linux takes them from the Debian packages (scripts/install-deps.sh); the Windows
# cross build takes static builds from the prefix made by scripts/build-win-deps.sh.
find_package(Threads REQUIRED)

if(WIN32)
  include(DependenciesWindows)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(VN_SODIUM REQUIRED IMPORTED_TARGET libsodium)
  pkg_check_modules(VN_OPUS REQUIRED IMPORTED_TARGET opus)
  pkg_check_modules(VN_OPENH264 REQUIRED IMPORTED_TARGET openh264)
  pkg_check_modules(VN_ISAL REQUIRED IMPORTED_TARGET libisal)
  find_package(spdlog CONFIG REQUIRED)
  find_package(nlohmann_json CONFIG REQUIRED)
  find_path(VN_ASIO_INCLUDE asio.hpp REQUIRED)
  find_path(VN_BOOST_INCLUDE boost/beast.hpp REQUIRED)

  add_library(vn::sodium ALIAS PkgConfig::VN_SODIUM)
  add_library(vn::opus ALIAS PkgConfig::VN_OPUS)
  add_library(vn::openh264 ALIAS PkgConfig::VN_OPENH264)
  add_library(vn::isal ALIAS PkgConfig::VN_ISAL)
  add_library(vn::spdlog ALIAS spdlog::spdlog)
  add_library(vn::json ALIAS nlohmann_json::nlohmann_json)

  add_library(vn_asio INTERFACE)
  target_include_directories(vn_asio SYSTEM INTERFACE ${VN_ASIO_INCLUDE})
  target_compile_definitions(vn_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_libraries(vn_asio INTERFACE Threads::Threads)
  add_library(vn::asio ALIAS vn_asio)

  add_library(vn_boost INTERFACE)
  target_include_directories(vn_boost SYSTEM INTERFACE ${VN_BOOST_INCLUDE})
  target_compile_definitions(vn_boost INTERFACE BOOST_ALL_NO_LIB BOOST_ASIO_NO_DEPRECATED)
  target_link_libraries(vn_boost INTERFACE Threads::Threads)
  add_library(vn::boost ALIAS vn_boost)

  if(VN_BUILD_TESTS)
    find_package(GTest CONFIG REQUIRED)
  endif()
  if(VN_BUILD_BENCH)
    find_package(benchmark CONFIG REQUIRED)
  endif()
endif()

# VN_SANITIZE=ON instruments every target with ASan and UBSan; UBSan findings abort
# so that a test run fails on them instead of printing and carrying on.
if(VN_SANITIZE)
  if(MSVC OR WIN32)
    message(FATAL_ERROR "VN_SANITIZE is supported on the Linux build only")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzz builds instrument all project code for coverage; the fuzz targets add
# the libFuzzer driver themselves.
if(VN_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

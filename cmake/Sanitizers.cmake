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

# VN_SANITIZE_THREAD=ON instruments every target with TSan; it cannot be
# combined with ASan. A report makes the process exit with status 66, so a test
# with a data race fails (the tsan test preset sets TSAN_OPTIONS).
if(VN_SANITIZE_THREAD)
  if(MSVC OR WIN32)
    message(FATAL_ERROR "VN_SANITIZE_THREAD is supported on the Linux build only")
  endif()
  if(VN_SANITIZE)
    message(FATAL_ERROR "VN_SANITIZE and VN_SANITIZE_THREAD exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Asio brackets each handler call with std::atomic_thread_fence, which TSan
  # does not model (GCC warns at every use). The hand-over of a handler
  # between threads is ordered by the scheduler's and the strand's mutexes,
  # which TSan sees, so the fences add nothing to what it checks.
  add_compile_definitions(ASIO_DISABLE_FENCED_BLOCK BOOST_ASIO_DISABLE_FENCED_BLOCK)
endif()

# Fuzz builds instrument all project code for coverage; the fuzz targets add
# the libFuzzer driver themselves.
if(VN_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

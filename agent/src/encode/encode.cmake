# Video encoding (vn_encode): the encoder interface's implementations and the
# colour conversion. The SIMD kernels are x86-only and built with their own
# instruction-set flags; the dispatcher checks the processor before use.
set(VN_X86 OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
  set(VN_X86 ON)
endif()

set(VN_ENCODE_SOURCES
  encode/i420_convert.cpp
  encode/software_encoder.cpp
)
if(VN_X86)
  list(APPEND VN_ENCODE_SOURCES
    encode/i420_dispatch_x86.cpp
    encode/i420_convert_sse2.cpp
    encode/i420_convert_avx2.cpp)
else()
  list(APPEND VN_ENCODE_SOURCES encode/i420_dispatch_generic.cpp)
endif()

vn_add_library(vn_encode
  PORTABLE ${VN_ENCODE_SOURCES}
  PLATFORM encode/cpu_frame_reader
)
target_link_libraries(vn_encode PUBLIC vn_core vn::openh264)
if(WIN32)
  target_link_libraries(vn_encode PUBLIC d3d11 dxgi)
endif()
if(VN_X86)
  if(MSVC)
    set_source_files_properties(${VN_AGENT_SRC}/encode/i420_convert_avx2.cpp PROPERTIES COMPILE_OPTIONS /arch:AVX2)
  else()
    set_source_files_properties(${VN_AGENT_SRC}/encode/i420_convert_avx2.cpp PROPERTIES COMPILE_OPTIONS -mavx2)
  endif()
endif()

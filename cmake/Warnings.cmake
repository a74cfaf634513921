# Warning flags for the project's own targets (not for dependencies).
add_library(vn_warnings INTERFACE)
if(MSVC)
  target_compile_options(vn_warnings INTERFACE /W4 /permissive-)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(vn_warnings INTERFACE -Wall -Wextra -Wnon-virtual-dtor)
else()
  target_compile_options(vn_warnings INTERFACE -Wall -Wextra -Wshadow=local -Wnon-virtual-dtor)
endif()

# Desktop capture (vn_capture): the DesktopCapturer of the platform and the
# portable helpers it draws the cursor and keeps the dirty rectangles with.
if(WIN32)
  # Defined in capture_win.cmake: desktop duplication with a GDI fallback.
else()
  find_package(X11 REQUIRED COMPONENTS Xext Xfixes Xdamage)

  vn_add_library(vn_capture
    PORTABLE
      capture/cursor_compose.cpp
      capture/dirty_rects.cpp
    PLATFORM
      capture/desktop_capturer
      capture/x11_capturer
      capture/x11_connection
      capture/x11_cursor
      capture/x11_errors
      capture/x11_screen_image
  )
  target_link_libraries(vn_capture PUBLIC vn_core)
  target_link_libraries(vn_capture PRIVATE X11::X11 X11::Xext X11::Xfixes X11::Xdamage)
endif()

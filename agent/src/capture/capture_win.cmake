# Desktop capture on Windows (vn_capture): DXGI desktop duplication with a GDI
# fallback, both on the session's Direct3D 11 device.
vn_add_library(vn_capture
  PORTABLE
    capture/dirty_rects.cpp
  PLATFORM
    capture/d3d11_device
    capture/desktop_capturer
    capture/dxgi_capture
    capture/gdi_capture
    capture/picture_diff
    capture/screen_cursor
)
target_link_libraries(vn_capture PUBLIC vn_core d3d11 dxgi gdi32 user32)

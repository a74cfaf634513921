# Desktop capture (vn_capture). Filled in by the capture work.

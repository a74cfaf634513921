#pragma once

#include <string>

// The test_backend program's stdout: one event per line. Any thread (the
// server thread prints events, the stdin reader prints command errors).
namespace vn::tools::backend_cli {

// Writes `line` and a newline to stdout and flushes, whole: lines from
// different threads never interleave.
void out(const std::string& line);

// Keeps an event on one line: control bytes become \n, \r, \xHH.
std::string one_line(const std::string& text);

}  // namespace vn::tools::backend_cli

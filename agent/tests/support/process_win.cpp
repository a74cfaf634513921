#include <windows.h>

#include "support/process.h"

namespace vn::test {
namespace {

// Quotes one argument the way the C runtime splits command lines.
std::string quote_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace

ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return result;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::string command_line = quote_argument(exe);
  for (const auto& arg : args) command_line += " " + quote_argument(arg);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      working_dir.c_str(), &startup, &process);
  CloseHandle(write_end);
  if (!created) {
    CloseHandle(read_end);
    return result;
  }
  result.started = true;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(read_end, buffer, sizeof(buffer), &n, nullptr) && n > 0) result.std_out.append(buffer, n);
  CloseHandle(read_end);

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exit_code = static_cast<int>(code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

}  // namespace vn::test

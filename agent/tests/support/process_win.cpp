#include <windows.h>

#include <cstring>

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

struct ChildProcess::Impl {
  PROCESS_INFORMATION process{};
  HANDLE out_read = nullptr;
  std::thread reader;
  std::string std_out;
  std::optional<ProcessResult> result;

  void finish() {
    if (reader.joinable()) reader.join();
    ProcessResult r;
    r.started = true;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    r.exit_code = static_cast<int>(code);
    r.std_out = std::move(std_out);
    result = std::move(r);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
};

ChildProcess::ChildProcess(const std::string& exe, const std::vector<std::string>& args,
                           const std::string& working_dir, const std::vector<std::string>& env)
    : impl_(std::make_unique<Impl>()) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE write_end = nullptr;
  if (!CreatePipe(&impl_->out_read, &write_end, &inheritable, 0)) return;
  SetHandleInformation(impl_->out_read, HANDLE_FLAG_INHERIT, 0);

  std::string command_line = quote_argument(exe);
  for (const auto& arg : args) command_line += " " + quote_argument(arg);

  // The child's environment: ours with the overrides applied.
  std::string block;
  if (!env.empty()) {
    std::vector<std::string> entries;
    if (LPCH current = GetEnvironmentStringsA(); current != nullptr) {
      for (const char* p = current; *p != '\0'; p += std::strlen(p) + 1) entries.emplace_back(p);
      FreeEnvironmentStringsA(current);
    }
    for (const std::string& entry : env) {
      const size_t eq = entry.find('=');
      if (eq == std::string::npos) continue;
      const std::string prefix = entry.substr(0, eq + 1);
      std::erase_if(entries, [&](const std::string& e) { return _strnicmp(e.c_str(), prefix.c_str(), prefix.size()) == 0; });
      if (eq + 1 < entry.size()) entries.push_back(entry);
    }
    for (const std::string& e : entries) block.append(e).push_back('\0');
    block.push_back('\0');
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  const BOOL created = CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                      block.empty() ? nullptr : block.data(), working_dir.c_str(), &startup,
                                      &impl_->process);
  CloseHandle(write_end);
  if (!created) {
    CloseHandle(impl_->out_read);
    impl_->out_read = nullptr;
    impl_->process = {};
    return;
  }
  impl_->reader = std::thread([impl = impl_.get()] {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(impl->out_read, buffer, sizeof(buffer), &n, nullptr) && n > 0) impl->std_out.append(buffer, n);
    CloseHandle(impl->out_read);
  });
}

ChildProcess::~ChildProcess() {
  if (!started() || impl_->result) return;
  TerminateProcess(impl_->process.hProcess, 137);
  wait();
}

bool ChildProcess::started() const { return impl_->process.hProcess != nullptr; }

long ChildProcess::pid() const { return started() ? static_cast<long>(impl_->process.dwProcessId) : 0; }

void ChildProcess::interrupt() {
  if (started() && !impl_->result) TerminateProcess(impl_->process.hProcess, 130);
}

std::optional<ProcessResult> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
  if (!started()) return ProcessResult{};
  if (!impl_->result) {
    if (WaitForSingleObject(impl_->process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    impl_->finish();
  }
  return impl_->result;
}

ProcessResult ChildProcess::wait() {
  if (!started()) return ProcessResult{};
  if (!impl_->result) {
    WaitForSingleObject(impl_->process.hProcess, INFINITE);
    impl_->finish();
  }
  return *impl_->result;
}

ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir) {
  ChildProcess child(exe, args, working_dir);
  return child.wait();
}

bool interrupt_is_graceful() { return false; }

}  // namespace vn::test

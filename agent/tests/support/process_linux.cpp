#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/process.h"

namespace vn::test {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out_fd = -1;
  std::thread reader;
  std::string std_out;
  std::optional<ProcessResult> result;

  void finish(int status) {
    if (reader.joinable()) reader.join();
    ProcessResult r;
    r.started = true;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
    r.std_out = std::move(std_out);
    result = std::move(r);
  }
};

ChildProcess::ChildProcess(const std::string& exe, const std::vector<std::string>& args,
                           const std::string& working_dir, const std::vector<std::string>& env)
    : impl_(std::make_unique<Impl>()) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return;

  std::vector<std::string> argv_storage{exe};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return;
  }
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    for (const std::string& entry : env) {
      const size_t eq = entry.find('=');
      if (eq == std::string::npos) continue;
      const std::string name = entry.substr(0, eq);
      if (eq + 1 == entry.size()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), entry.c_str() + eq + 1, 1);
      }
    }
    if (chdir(working_dir.c_str()) != 0) _exit(126);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  impl_->pid = pid;
  impl_->out_fd = out_pipe[0];
  impl_->reader = std::thread([impl = impl_.get()] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(impl->out_fd, buffer, sizeof(buffer))) > 0) impl->std_out.append(buffer, static_cast<size_t>(n));
    close(impl->out_fd);
  });
}

ChildProcess::~ChildProcess() {
  if (!started() || impl_->result) return;
  kill(impl_->pid, SIGKILL);
  wait();
}

bool ChildProcess::started() const { return impl_->pid > 0; }

long ChildProcess::pid() const { return impl_->pid > 0 ? impl_->pid : 0; }

void ChildProcess::interrupt() {
  if (started() && !impl_->result) kill(impl_->pid, SIGINT);
}

std::optional<ProcessResult> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
  if (!started()) return ProcessResult{};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!impl_->result) {
    int status = 0;
    const pid_t done = waitpid(impl_->pid, &status, WNOHANG);
    if (done == impl_->pid) {
      impl_->finish(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return impl_->result;
}

ProcessResult ChildProcess::wait() {
  if (!started()) return ProcessResult{};
  if (!impl_->result) {
    int status = 0;
    waitpid(impl_->pid, &status, 0);
    impl_->finish(status);
  }
  return *impl_->result;
}

ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir) {
  ChildProcess child(exe, args, working_dir);
  return child.wait();
}

bool interrupt_is_graceful() { return true; }

}  // namespace vn::test

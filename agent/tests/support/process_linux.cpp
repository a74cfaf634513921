#include "support/process.h"

#include <sys/wait.h>
#include <unistd.h>

namespace vn::test {

ProcessResult run_process(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& working_dir) {
  ProcessResult result;
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return result;

  std::vector<std::string> argv_storage{exe};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (chdir(working_dir.c_str()) != 0) _exit(126);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  result.started = true;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_pipe[0], buffer, sizeof(buffer))) > 0) result.std_out.append(buffer, static_cast<size_t>(n));
  close(out_pipe[0]);

  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

}  // namespace vn::test

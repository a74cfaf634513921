#include "support/xvfb_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace vn::test {
namespace {

// Reads the display number Xvfb writes to -displayfd once it is ready; -1 when
// it exits (or stays silent for 30 s) first.
int read_display_number(int fd) {
  std::string text;
  char buffer[32];
  while (text.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return -1;
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) return -1;
    text.append(buffer, static_cast<size_t>(n));
  }
  return std::atoi(text.c_str());
}

}  // namespace

XvfbServer::~XvfbServer() { stop(); }

bool XvfbServer::start(const XvfbOptions& options) {
  stop();
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return false;

  std::vector<std::string> args{"Xvfb"};
  if (options.display_number >= 0) args.push_back(":" + std::to_string(options.display_number));
  const std::string screen =
      std::to_string(options.width) + "x" + std::to_string(options.height) + "x" + std::to_string(options.depth);
  // -noreset: the server keeps its state when its last client goes.
  for (const char* arg : {"-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0"}) args.emplace_back(arg);
  args.push_back(screen);
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return false;
  }
  if (pid == 0) {
    // The child: the ready pipe becomes fd 3 without close-on-exec, the
    // server's chatter goes to /dev/null.
    if (ready[1] == 3) {
      fcntl(3, F_SETFD, 0);
    } else {
      dup2(ready[1], 3);
    }
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  ::close(ready[1]);
  pid_ = pid;
  display_number_ = read_display_number(ready[0]);
  ::close(ready[0]);
  if (display_number_ < 0) {
    stop();
    return false;
  }
  return true;
}

void XvfbServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  display_number_ = -1;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_value_ = true;
    old_value_ = old;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_value_) {
    setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace vn::test

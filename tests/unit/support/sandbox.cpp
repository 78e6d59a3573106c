#include "sandbox.h"

#include "exec.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace testsupport {
namespace {

bool MountTmpfs(const char* path) {
  char real[4096];
  if (!realpath(path, real)) {
    if (mkdir(path, 0755) != 0 || !realpath(path, real)) {
      fprintf(stderr, "sandbox: %s: %s\n", path, strerror(errno));
      return false;
    }
  }
  if (mount("tmpfs", real, "tmpfs", 0, "mode=0755") != 0) {
    fprintf(stderr, "sandbox: mount tmpfs on %s: %s\n", real, strerror(errno));
    return false;
  }
  return true;
}

bool LoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct ifreq request {};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool EnterPrivateSandbox() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    fprintf(stderr, "sandbox: unshare: %s\n", strerror(errno));
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    // EINVAL: "/" is no mount point, as in a chroot into a plain directory.
    // Going on could leak the tmpfs mounts below into the host's namespace.
    fprintf(stderr, "sandbox: make / private: %s%s\n", strerror(errno),
            errno == EINVAL ? " (the root directory is not a mount point: in a chroot, bind-mount its "
                              "directory onto itself first)"
                            : "");
    return false;
  }
  if (!MountTmpfs("/var/run") || !MountTmpfs("/var/log")) return false;
  mkdir("/var/run/ubus", 0755);
  if (!LoopbackUp()) fprintf(stderr, "sandbox: loopback not up\n");
  return true;
}

Process::Process(const std::vector<std::string>& argv) {
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    ExecProgram(argv);
  }
}

int Process::Stop(int signal_number, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal_number);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

Process::~Process() {
  if (pid_ > 0) Stop(SIGTERM, std::chrono::seconds(2));
}

bool WaitForPath(const std::string& path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  struct stat st {};
  while (stat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string UbusdPath() {
#ifdef KELVORA_UBUSD_PATH
  return KELVORA_UBUSD_PATH;
#else
  return std::string();
#endif
}

std::unique_ptr<Process> StartUbusd() {
  const std::string socket_path = "/var/run/ubus/ubus.sock";
  unlink(socket_path.c_str());
  auto process = std::make_unique<Process>(std::vector<std::string>{UbusdPath(), "-s", socket_path});
  if (!WaitForPath(socket_path, std::chrono::seconds(5))) {
    fprintf(stderr, "sandbox: ubusd did not create %s\n", socket_path.c_str());
  }
  return process;
}

}  // namespace testsupport

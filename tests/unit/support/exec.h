#pragma once

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// Whether `path` is an ELF program for the machine this test itself was
// built for.
inline bool OwnMachineProgram(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char header[EI_NIDENT + 4] = {};
  const bool read_all = read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
  close(fd);
  if (!read_all || memcmp(header, ELFMAG, SELFMAG) != 0) return false;
  // Another byte order is another machine; in ours, e_machine (after
  // e_type) reads as it is.
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  if (header[EI_DATA] != ELFDATA2MSB) return false;
#else
  if (header[EI_DATA] != ELFDATA2LSB) return false;
#endif
  Elf32_Half machine = 0;
  memcpy(&machine, header + EI_NIDENT + 2, sizeof machine);
#if defined(__mips__)
  return machine == EM_MIPS;
#elif defined(__x86_64__)
  return machine == EM_X86_64;
#elif defined(__aarch64__)
  return machine == EM_AARCH64;
#else
  return false;
#endif
}

// Replaces this process with argv. Where KELVORA_RUN_PREFIX is set (an
// emulator such as "qemu-mipsel" when the tests run on another machine
// type), a program built for this machine type runs through it, since the
// kernel cannot execute it directly; "/proc/self/exe" is then named by its
// path (the emulator's own otherwise). Without a prefix it is executed as
// it is, which the kernel resolves wherever the link's text would not (in a
// chroot, re-executing by the link's text was seen to fail).
[[noreturn]] inline void ExecProgram(std::vector<std::string> argv) {
  const char* prefix = getenv("KELVORA_RUN_PREFIX");
  if (prefix && *prefix && !argv.empty() && argv[0] == "/proc/self/exe") {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) argv[0].assign(self, static_cast<size_t>(n));
  }
  if (prefix && *prefix && !argv.empty() && OwnMachineProgram(argv[0])) {
    std::vector<std::string> words;
    std::istringstream in(prefix);
    for (std::string word; in >> word;) words.push_back(word);
    // qemu-user with a sysroot (QEMU_LD_PREFIX) shows this process the
    // sysroot's file where one exists (its /bin/sh, say); the emulator
    // started here opens the path as given, so it gets the sysroot's path.
    const char* sysroot = getenv("QEMU_LD_PREFIX");
    if (sysroot && *sysroot && argv[0][0] == '/' && access((sysroot + argv[0]).c_str(), X_OK) == 0) {
      argv[0] = sysroot + argv[0];
    }
    argv.insert(argv.begin(), words.begin(), words.end());
  }
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  if (args[0] && strchr(args[0], '/')) {
    execv(args[0], args.data());
  } else if (args[0]) {
    execvp(args[0], args.data());
  }
  perror(args[0] ? args[0] : "exec");
  _exit(127);
}

// The prefix as shell words for a command line ("" when not set), for
// tests that start a program of this build through /bin/sh.
inline std::string RunPrefixForShell() {
  const char* prefix = getenv("KELVORA_RUN_PREFIX");
  return prefix && *prefix ? std::string(prefix) + " " : std::string();
}

}  // namespace testsupport

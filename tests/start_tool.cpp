// Starts the tool as the table's harness asks, for the checks of the static binary:
//   start_tool [--root FOLDER] [--old-kernel] PROGRAM ARGUMENT...
// --root: in FOLDER as its root (chroot), in the same working folder, which stays outside it.
// --old-kernel: as Linux 3.10 would run it, as far as the tool can tell: every x86-64 system
// call numbered 314 and up (renameat2, getrandom, statx, faccessat2 and every later one) fails
// with ENOSYS, and the extended-flags requests of Linux 4.5 (FS_IOC_FSGETXATTR, FSSETXATTR) with
// ENOTTY. A seccomp filter, which the program and everything it starts keep.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string_view>

namespace {

bool act_as_old_kernel() {
  constexpr unsigned int first_new = 314; // sched_setattr, Linux 3.14
  sock_filter rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, first_new, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])), // the request's low half
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FS_IOC_FSGETXATTR, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FS_IOC_FSSETXATTR, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(sizeof rules / sizeof rules[0]), rules};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

} // namespace

int main(int argc, char *argv[]) {
  int at = 1;
  if (at + 1 < argc && std::string_view(argv[at]) == "--root") {
    const int here = ::open(".", O_PATH | O_DIRECTORY);
    if (here < 0 || ::chroot(argv[at + 1]) != 0 || ::fchdir(here) != 0) {
      std::perror("start_tool: --root");
      return 127;
    }
    ::close(here);
    at += 2;
  }
  if (at < argc && std::string_view(argv[at]) == "--old-kernel") {
    if (!act_as_old_kernel()) {
      std::perror("start_tool: --old-kernel");
      return 127;
    }
    ++at;
  }
  if (at >= argc) {
    std::fputs("usage: start_tool [--root FOLDER] [--old-kernel] PROGRAM ARGUMENT...\n", stderr);
    return 127;
  }
  ::execv(argv[at], &argv[at]);
  std::perror("start_tool");
  return 127;
}

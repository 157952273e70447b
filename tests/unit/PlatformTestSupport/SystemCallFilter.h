// One system call made to fail, trap or kill from now on in the calling process and its
// children, as a container's system-call filter does: for tests of what our code makes of that.
// Threading: call it in a forked child; the filter cannot be taken off again.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace tvb::test {

// action: a SECCOMP_RET_ value (with its data). False when no filter could be put in place:
// another architecture than the filter knows, or a kernel that refuses it.
// With SECCOMP_RET_USER_NOTIF the call waits for an answer on a listener descriptor, which
// listener receives (-1 without one); other actions give none.
inline bool FilterSystemCall(long number, std::uint32_t action, int* listener = nullptr) {
    if (listener != nullptr)
        *listener = -1;
#if defined(__x86_64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
    (void)number;
    (void)action;
    (void)listener;
    return false;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, action),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (action != SECCOMP_RET_USER_NOTIF)
        return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
    long fd =
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
    if (fd < 0)
        return false;
    if (listener != nullptr)
        *listener = static_cast<int>(fd);
    return true;
#endif
}

} // namespace tvb::test

// Loaded with LD_PRELOAD into sitemora-import by the tests, to stand in for a drive that
// refuses hard links, as FAT and exFAT do, and fs.protected_hardlinks for another user's
// file. With SITEMORA_REFUSE_RENAME set it also refuses renames that must not replace, as
// a drive that cannot promise that does.
#include <cerrno>
#include <cstdlib>
#include <sys/syscall.h>

extern "C" {

long syscall(long number, ...);

int link(const char*, const char*) {
    errno = EPERM;
    return -1;
}

int linkat(int, const char*, int, const char*, int) {
    errno = EPERM;
    return -1;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (std::getenv("SITEMORA_REFUSE_RENAME")) {
        errno = EINVAL;
        return -1;
    }
    return int(syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}
}

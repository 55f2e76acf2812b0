// Loaded with LD_PRELOAD into sitemora-import by the tests, to hold the tool still at a
// known moment so that a signal sent meanwhile lands exactly there: with
// SITEMORA_PAUSE_AT=fill the tool stops once it has started filling the new catalogue
// (it has created the temporary file and handed the reading to its reader process), with
// SITEMORA_PAUSE_AT=publish as it puts the finished catalogue in place. The test sees the
// stop, sends its signal and lets the tool go on.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

bool PauseAt(const char* moment) {
    const char* wanted = std::getenv("SITEMORA_PAUSE_AT");
    return wanted && std::strcmp(wanted, moment) == 0;
}

template <typename Function> Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

pid_t fork() {
    static bool paused = false;
    const pid_t child = Next<pid_t (*)()>("fork")();
    if (child > 0 && !paused && PauseAt("fill")) {
        paused = true;
        raise(SIGSTOP);
    }
    return child;
}

int link(const char* from, const char* to) {
    if (PauseAt("publish"))
        raise(SIGSTOP);
    return Next<int (*)(const char*, const char*)>("link")(from, to);
}
}

// kelvane-probe: reads media files with libmediainfo for the window, one request at a time on
// descriptor 3, so that a file the library cannot cope with takes down this process alone.
// The window started it with the parent-death signal and no new privileges; the memory limit
// is set here, where the build is known.
#include "mediainfo.h"
#include "probeprotocol.h"

#include <clocale>
#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVANE_SANITIZED 1
#endif
#endif

namespace {

// Reading a file takes the helper 80 to 90 MiB of address space, most of it the libraries'
// mappings, hardly more for a 20-minute recording; three times that leaves room for large
// index tables and cover pictures. A runaway allocation must reach the limit well inside the
// window's time limit even on a busy machine, or it would be reported as a hang instead.
constexpr rlim_t AddressSpaceLimit = rlim_t(256) << 20;

constexpr int RequestFd = 3;

} // namespace

int main()
{
    if (::fcntl(RequestFd, F_GETFD) < 0)
        return probeprotocol::ExitNotStarted;
#ifndef KELVANE_SANITIZED
    // The sanitizers reserve terabytes of address space up front; their builds run unlimited.
    const rlimit limit{AddressSpaceLimit, AddressSpaceLimit};
    if (::setrlimit(RLIMIT_AS, &limit) != 0)
        return probeprotocol::ExitNotStarted;
#endif
    // The library may catch std::bad_alloc and go on in a broken state: end at the first one.
    std::set_new_handler([] { ::_exit(probeprotocol::ExitOutOfMemory); });

    // The window's process runs in the user's locale, and the library turns the 8-bit file name
    // into its own text by it: the same here, or non-ASCII names would not open.
    std::setlocale(LC_ALL, "");

    LibMediaInfo library;
    try {
        // Load and set up the library now, while the window has no file waiting.
        library.close(library.open(QByteArray()));
    } catch (...) {
        // Not loadable: the first real request answers with the reason.
    }
    return probeprotocol::serve(RequestFd, library) ? 0 : probeprotocol::ExitBadRequest;
}

// kelvane-probe: reads media files with libmediainfo for the window, one request at a time on
// descriptor 3, so that a file the library cannot cope with takes down this process alone.
// The window started it with the parent-death signal, no new privileges, a bare environment
// and, where the kernel lets it, an empty network namespace; the limits and the system-call
// filter are set here, where the build is known.
//
// Invariant: once the filter is in, the process cannot open, create or connect anything; it
// reads only the files the window hands it as descriptors, and answers on descriptor 3.
#include "kelvaneerror.h"
#include "mediainfo.h"
#include "probeprotocol.h"

#include <clocale>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <seccomp.h>
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

// Measured peaks of the helper's address space (VmPeak) while reading valid files: 85 MiB for
// a short WAV, nearly all of it the libraries' mappings; 152 MiB for a 2-hour MP4 with 16 AAC
// tracks at 48 kHz (5.4 million sample-table entries); 226 MiB for an M4A with a 100 or 150 MB
// cover picture; 417 MiB for an MP3 with a 30 MB cover, which the library copies into buffers
// several times. 768 MiB leaves room for larger tables and pictures, while a runaway
// allocation still reaches it in 2 s of processor time, well inside the limit per file.
constexpr rlim_t AddressSpaceLimit = rlim_t(768) << 20;

constexpr int RequestFd = 3;

// Processor time allowed for reading one file, in seconds, unless the window passes another
// as the first argument.
constexpr long DefaultCpuSeconds = probeprotocol::CpuSecondsPerFile;

// Each file gets the same processor time, however long this warm helper has lived: the kernel
// sends SIGXCPU, which ends the process, once the file's share is used up.
class Budgeted final : public MediaLibrary
{
public:
    Budgeted(MediaLibrary &library, long seconds) : m_library(library), m_seconds(seconds) {}

    Handle open(const QByteArray &name) override { return m_library.open(name); }
    Handle openDescriptor(int fd) override
    {
        rusage used = {};
        ::getrusage(RUSAGE_SELF, &used);
        const rlim_t spent = rlim_t(used.ru_utime.tv_sec + used.ru_stime.tv_sec + 1);
        const rlimit limit{spent + rlim_t(m_seconds), RLIM_INFINITY};
        ::setrlimit(RLIMIT_CPU, &limit);
        return m_library.openDescriptor(fd);
    }
    QByteArray get(Handle handle, StreamKind kind, const char *parameter) override
    {
        return m_library.get(handle, kind, parameter);
    }
    void close(Handle handle) override { m_library.close(handle); }

private:
    MediaLibrary &m_library;
    long m_seconds;
};

// Everything else fails with EPERM, which the library takes as a file it cannot read, instead
// of killing the process mid-answer. The list is what reading local files through the library
// was measured to need (strace -f over WAV, MP3, MP4, Matroska, MPEG-PS, MPEG-TS, MXF, Ogg and
// AC3 files, large MP4 and QuickTime files among them), and the rest of what glibc's allocator
// and locks may call.
[[maybe_unused]] bool confine() // not called in sanitizer builds
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return false;
    bool ok = true;
    for (const int call :
         {// the request socket and the files handed over on it
          SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(read), SCMP_SYS(lseek), SCMP_SYS(fstat),
          SCMP_SYS(newfstatat), SCMP_SYS(close),
          // memory and locks
          SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
          SCMP_SYS(madvise), SCMP_SYS(futex),
          // the processor time used so far, for each file's share
          SCMP_SYS(getrusage),
          // how a failing process ends itself
          SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(getpid), SCMP_SYS(gettid),
          SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(clock_gettime)})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    // Its own processor limit, and no other limit of any process.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 2,
                                SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A1(SCMP_CMP_EQ, RLIMIT_CPU)) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (::fcntl(RequestFd, F_GETFD) < 0)
        return probeprotocol::ExitNotStarted;
    const long cpuSeconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : DefaultCpuSeconds;
    if (cpuSeconds <= 0)
        return probeprotocol::ExitNotStarted;
    // A crash writes no core file: nothing of a user's file is left behind.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
#ifndef KELVANE_SANITIZED
    // The sanitizers reserve terabytes of address space up front; their builds run unlimited.
    const rlimit limit{AddressSpaceLimit, AddressSpaceLimit};
    if (::setrlimit(RLIMIT_AS, &limit) != 0)
        return probeprotocol::ExitNotStarted;
#endif
    // The library may catch std::bad_alloc and go on in a broken state: end at the first one.
    std::set_new_handler([] { ::_exit(probeprotocol::ExitOutOfMemory); });

    // The library turns its answers into 8-bit text by the locale's character type.
    std::setlocale(LC_ALL, "");

    LibMediaInfo library;
    try {
        // Load and set up the library now, while every file it needs can still be opened.
        library.close(library.openDescriptor(-1));
    } catch (...) {
        // Not loadable: the first real request answers with the reason.
    }
#ifndef KELVANE_SANITIZED
    // The sanitizers' own reports read /proc and stop threads by ptrace: their builds rely on
    // the window's network namespace alone.
    if (!confine())
        return probeprotocol::ExitNotStarted;
#endif
    Budgeted budgeted(library, cpuSeconds);
    return probeprotocol::serve(RequestFd, budgeted) ? 0 : probeprotocol::ExitBadRequest;
}

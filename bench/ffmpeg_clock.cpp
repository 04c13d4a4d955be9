// Stands in for ffmpeg on the PATH of make bench: notes the monotonic time at which it was
// started and the time at which the real ffmpeg it runs (BENCH_FFMPEG) had ended, as one line
// "START END" in nanoseconds appended to BENCH_CLOCK.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {
long long now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}
} // namespace

int main(int, char **argv)
{
    const long long start = now();
    const char *real = std::getenv("BENCH_FFMPEG");
    const char *clock = std::getenv("BENCH_CLOCK");
    if (!real || !clock)
        return 127;
    const pid_t child = fork();
    if (child == 0) {
        execv(real, argv);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return 127;
    const long long end = now();
    if (FILE *f = std::fopen(clock, "a")) {
        std::fprintf(f, "%lld %lld\n", start, end);
        std::fclose(f);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

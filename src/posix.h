#pragma once

#include <cerrno>

namespace posix {

// The result of call, a system call that may be interrupted by a signal, once it was not: a
// failure with EINTR is tried again, every other result (errno as it left it) returned.
template <class Call> auto retryOnInterrupt(Call &&call)
{
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

} // namespace posix

#include "sim/verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {

void VerifierStop(const char* format, ...) {
    std::fputs("VERIFIER STOP: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim

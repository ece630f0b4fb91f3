// Windows counterpart of the portable ScopedTz: a Windows process has no TZ of
// its own, its zone is the machine's. The runner checks at its start that the
// machine is at UTC+3 without summer time, the one zone its scenarios ask for.
#ifndef TRV_COMMON_TESTS_SCOPED_TZ_H
#define TRV_COMMON_TESTS_SCOPED_TZ_H

#include <cstdio>
#include <cstdlib>
#include <string_view>

class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const std::string_view name(tz);
        if (name != "<+03>-3" && name != "MSK-3" && name != "XST-3") {
            std::fprintf(stderr, "ScopedTz: zone %s is not the runner's UTC+3\n", tz);
            std::abort();
        }
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;
};

#endif

// Sets TZ for the life of a test and restores the one before.
#ifndef TRV_COMMON_TESTS_SCOPED_TZ_H
#define TRV_COMMON_TESTS_SCOPED_TZ_H

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    std::optional<std::string> old_;
};

#endif

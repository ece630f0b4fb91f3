#include "tools/station/log.h"

namespace station {

void Logger::operator()(Level level, const std::string& text) {
    static constexpr const char* kNames[] = {"", "", "", "error", "warning", "notice", "info", "debug"};
    std::lock_guard lock(mutex_);
    if (journal_)
        std::fprintf(out_, "<%d>%s\n", static_cast<int>(level), text.c_str());
    else
        std::fprintf(out_, "%s: %s\n", kNames[static_cast<int>(level)], text.c_str());
    std::fflush(out_);
}

}  // namespace station

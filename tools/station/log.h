// The station's log: one line per event on stderr, with a level. Under
// systemd (JOURNAL_STREAM set) the level goes as a "<N>" prefix that the
// journal takes as the priority; on a terminal it is spelt out.
#ifndef TRV_TOOLS_STATION_LOG_H
#define TRV_TOOLS_STATION_LOG_H

#include <cstdio>
#include <mutex>
#include <string>

namespace station {

enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

class Logger {
public:
    explicit Logger(std::FILE* out, bool journal) : out_(out), journal_(journal) {}
    void operator()(Level level, const std::string& text);

private:
    std::mutex mutex_;
    std::FILE* out_;
    bool journal_;
};

}  // namespace station

#endif

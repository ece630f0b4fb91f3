// Texts vktpoll writes or runs without a file: the commented starter file of
// each model and the demonstration configuration.
#ifndef TRV_TOOLS_STARTER_H
#define TRV_TOOLS_STARTER_H

#include <string>
#include <string_view>
#include <vector>

#include "tools/config.h"

namespace tools {

// "VKT7", "VKT5", "VKT9" (or a full VKT-9 model text); empty for anything else.
std::string StarterFile(std::string_view model);

// One meter of each model on its in-process simulator.
std::string DemoConfig();

// "vktpoll read": one device, read once, without a file.
struct AdHocRead {
    std::string model;    // VKT7, VKT5, VKT9New or VKT9Old
    std::string channel;  // as in a file
    unsigned address = 1;
    std::vector<std::string> what;  // VKT-9 "40001:13"; VKT-5 "ARRAY[:HEAT]"; VKT-7 "ELEMENT[:COUNT]"
    std::string type;     // VKT-9: word, int16, float, uint32; VKT-5: float, double, uint16, uint32
    bool totals = false;  // VKT-5 and VKT-7: totals instead of current values
    int timeoutMs = 1000;
    int gapMs = 50;
    int retry = 3;
    std::vector<std::string> sim;  // NAME=VALUE knobs, channel sim only
};
// Throws ConfigError naming what was expected.
PollConfig AdHocReadConfig(const AdHocRead& read);

}  // namespace tools

#endif

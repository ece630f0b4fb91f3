// Texts vktpoll writes or runs without a file: the commented starter file of
// each model and the demonstration configuration.
#ifndef TRV_TOOLS_STARTER_H
#define TRV_TOOLS_STARTER_H

#include <string>
#include <string_view>

namespace tools {

// "VKT7", "VKT5", "VKT9" (or a full VKT-9 model text); empty for anything else.
std::string StarterFile(std::string_view model);

// One meter of each model on its in-process simulator.
std::string DemoConfig();

}  // namespace tools

#endif

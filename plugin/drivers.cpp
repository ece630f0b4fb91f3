#include "plugin/frame.h"
#include "vkt5/vkt5_driver.h"
#include "vkt7/vkt7_driver.h"
#include "vkt9/vkt9_driver.h"

const DriverTable& BuiltInDrivers() {
    static const DriverTable table{Vkt9Driver(), Vkt5Driver(), Vkt7Driver()};
    return table;
}

// pelio-probe: prints whether the Pelio device is present and whether it is the default output,
// as one line of JSON. Arguments are ignored; the exit status is always 0.

#include "Probe.h"

int main()
{
    using namespace pelio::probe;
    PrintDeviceStatus(QueryDeviceStatus(&AudioObjectGetPropertyData), stdout);
    return 0;
}

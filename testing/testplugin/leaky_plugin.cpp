// A plug-in built without the plug-in rules, so that a helper function leaks into its dynamic symbol
// table: the export check must refuse it.
#include "plugin_exports.h"

extern "C" __attribute__((visibility("default"))) int leakedHelper(void)
{
    return 1;
}

const char* vxmplugin_name(void)
{
    return "Leaky";
}

/* Builds the plug-in header as a plug-in author would: plain C, with every
 * layout assertion of the header checked for the target it is built for. */
#include "core/plugin_api.h"

int PluginApiCheck(void) { return (int)sizeof(EventRecord); }

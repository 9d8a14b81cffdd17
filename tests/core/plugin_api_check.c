/* Builds the SDK headers as a plug-in author would: plain C, with every
 * layout assertion of the headers checked for the target it is built for. */
#include "core/media.h"
#include "core/plugin_api.h"

int PluginApiCheck(void) { return (int)(sizeof(EventRecord) + sizeof(MediaHeader)); }

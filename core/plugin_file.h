// CheckPluginFile: whether a file in the plug-in folder may be handed to the
// dynamic loader.
//
// The loader trusts what it is given: a FIFO blocks it for ever, and a
// shared object cut short (a copy still being written) makes it fault when it
// touches a page past the end of the file. So only regular files (or links to
// them) are loaded, and only when they are ELF shared objects of the server's
// own class, byte order and machine whose program headers and loadable
// segments all lie inside the file. The file may still change between this
// check and the load; the check keeps out what sits in the folder. Any
// thread.
#ifndef CORE_PLUGIN_FILE_H_
#define CORE_PLUGIN_FILE_H_

extern const char kPluginSkippedMessage[];  // "plugin %s skipped: %s", file name and reason

// Null when the file at `path` may be loaded; otherwise why it may not, as a
// phrase for kPluginSkippedMessage.
const char* CheckPluginFile(const char* path);

#endif  // CORE_PLUGIN_FILE_H_

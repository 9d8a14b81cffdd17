// The base of the pt library: the root class, the fatal-error path, atomics,
// a millisecond sleep and the heap functions behind pt::string.
//
// Nothing here reports a failure to its caller: a failed system call or a
// misuse ends the process through pt::fatal. Every function is safe to call
// from any thread; the fatal handler itself is meant to be installed once,
// before the program starts threads.
//
// The library's names are lower case (pt::thread, waitfor, autofree) on
// purpose, against the house naming: code outside this project is written
// against this API as it stands.
#ifndef THREADS_PT_H_
#define THREADS_PT_H_

#include <stddef.h>

namespace pt {

// Root of the library's class tree; its only member is the virtual destructor.
class unknown {
 public:
  virtual ~unknown() {}
};

// Codes handed to pt::fatal; the process exit status is the low 8 bits.
enum {
  CRIT_NO_MEMORY = 0xC0005,
  CRIT_STRING_OVERFLOW = 0xC0015,
  CRIT_THREAD_CREATE = 0xC0028,
  CRIT_SYNC_FAILED = 0xC0029,
  CRIT_WAITFOR_SELF = 0xC002F,
  CRIT_WAITFOR_AUTOFREE = 0xC0030,
};

typedef void (*fatalhandlerfn)(int code, const char* message);

// Calls the installed handler (if any) and exits with code. Never returns.
[[noreturn]] void fatal(int code, const char* message);

// Installs handler (null: none) and returns the previous one. The default
// handler prints "\nInternal [%04x]: %s\n" to standard error.
fatalhandlerfn setfatalhandler(fatalhandlerfn handler);

// Sequentially consistent atomics on plain ints.
int atomicexchange(int* target, int value);
int atomicincrement(int* target);  // returns the new value
int atomicdecrement(int* target);  // returns the new value

void msleep(int milliseconds);

// Size 0 gives null without allocating; exhausted memory is fatal.
void* allocmem(size_t size);
void freemem(void* block);  // null is ignored

}  // namespace pt

#endif  // THREADS_PT_H_

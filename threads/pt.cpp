#include "threads/pt.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace pt {

namespace {

void PrintToStderr(int code, const char* message) {
  fprintf(stderr, "\nInternal [%04x]: %s\n", code, message);
}

fatalhandlerfn fatalhandler = PrintToStderr;

}  // namespace

void fatal(int code, const char* message) {
  fatalhandlerfn handler = __atomic_load_n(&fatalhandler, __ATOMIC_SEQ_CST);
  if (handler != nullptr) handler(code, message);
  exit(code);
}

fatalhandlerfn setfatalhandler(fatalhandlerfn handler) {
  return __atomic_exchange_n(&fatalhandler, handler, __ATOMIC_SEQ_CST);
}

int atomicexchange(int* target, int value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

int atomicincrement(int* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

int atomicdecrement(int* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

void msleep(int milliseconds) { usleep(milliseconds * 1000); }

void* allocmem(size_t size) {
  if (size == 0) return nullptr;
  void* block = malloc(size);
  if (block == nullptr) fatal(CRIT_NO_MEMORY, "Not enough memory");
  return block;
}

void freemem(void* block) {
  if (block != nullptr) free(block);
}

}  // namespace pt

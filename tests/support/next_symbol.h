// NextSymbol: the C library's own definition of a function that a test
// executable defines itself, to forward to. Aborts, with the name, when there
// is none. Any thread.
#ifndef TESTS_SUPPORT_NEXT_SYMBOL_H_
#define TESTS_SUPPORT_NEXT_SYMBOL_H_

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace testing_support {

template <typename Function>
Function NextSymbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    fprintf(stderr, "no %s to forward to\n", name);
    abort();
  }
  return reinterpret_cast<Function>(symbol);
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_NEXT_SYMBOL_H_

#include "threads/pt_string.h"

#include <string.h>

namespace pt {

namespace {

struct Header {
  int refcount;
  int length;
};

const int kHeaderSize = sizeof(Header);

// The shared empty buffer: a header whose length is 0, then one zero byte.
struct EmptyBlock {
  Header header;
  char text[8];
};
EmptyBlock emptyblock = {{0, 0}, {0}};

// Block size for n bytes: 16, 32, then multiples of 64 up to 2048 and of 4096
// above. In size_t, because the header and terminator added to a length near
// the int limit would wrap an int round to a tiny block.
size_t BlockSize(size_t n) {
  if (n <= 16) return 16;
  if (n <= 32) return 32;
  if (n <= 2048) return (n + 63) & ~size_t{63};
  return (n + 4095) & ~size_t{4095};
}

Header* HeaderOf(const char* data) {
  return reinterpret_cast<Header*>(const_cast<char*>(data) - kHeaderSize);
}

char* Allocate(int length) {
  if (length < 1) fatal(CRIT_STRING_OVERFLOW, "String overflow");
  char* block =
      static_cast<char*>(allocmem(BlockSize(static_cast<size_t>(length) + kHeaderSize + 1)));
  Header* header = reinterpret_cast<Header*>(block);
  header->refcount = 1;
  header->length = length;
  block[static_cast<size_t>(kHeaderSize) + static_cast<size_t>(length)] = 0;
  return block + kHeaderSize;
}

}  // namespace

char* const emptystr = emptyblock.text;
string nullstring;

int string::capacityfor(int n) {
  return static_cast<int>(BlockSize(n < 0 ? 0 : static_cast<size_t>(n)));
}

string::string(const char* text) : data_(emptystr) {
  if (text == nullptr || text[0] == 0) return;
  size_t count = strlen(text);
  // The compiler takes every strlen result to be below PTRDIFF_MAX, which on
  // a 32-bit build is INT_MAX, and would drop Allocate's overflow check for a
  // longer text; the empty asm hides the length from that reasoning.
  __asm__("" : "+r"(count));
  int length = static_cast<int>(count);
  data_ = Allocate(length);
  memcpy(data_, text, static_cast<size_t>(length));
}

string::string(const string& other) : data_(other.data_) {
  if (HeaderOf(data_)->length != 0) atomicincrement(&HeaderOf(data_)->refcount);
}

string& string::operator=(const string& other) {
  if (data_ != other.data_) {
    release();
    data_ = other.data_;
    if (HeaderOf(data_)->length != 0) atomicincrement(&HeaderOf(data_)->refcount);
  }
  return *this;
}

int string::length() const { return HeaderOf(data_)->length; }

int string::refcount() const {
  return length() == 0 ? 0 : __atomic_load_n(&HeaderOf(data_)->refcount, __ATOMIC_SEQ_CST);
}

void string::release() {
  Header* header = HeaderOf(data_);
  if (header->length != 0 && atomicdecrement(&header->refcount) == 0) freemem(header);
  data_ = emptystr;
}

exception::exception(const char* message) : message_(message) {}
exception::exception(const string& message) : message_(message) {}
exception::~exception() {}
string exception::getmessage() { return message_; }

}  // namespace pt

// pt::string, the reference-counted string that carries an exception's
// message, and pt::exception itself.
//
// A string is one pointer to the characters of a heap block laid out as
// {int refcount, int length, chars, '\0'}; the empty string owns no block and
// points at the shared static pt::emptystr. Copies share the block; the count
// changes atomically, so copies of one string may be released on different
// threads. One string object must not be changed from two threads at once.
#ifndef THREADS_PT_STRING_H_
#define THREADS_PT_STRING_H_

#include "threads/pt.h"

namespace pt {

extern char* const emptystr;  // first character of the shared empty buffer

class string {
 public:
  string() : data_(emptystr) {}
  string(const char* text);  // null and "" give the empty string
  string(const string& other);
  string& operator=(const string& other);
  ~string() { release(); }

  int length() const;
  int refcount() const;  // 0 for the shared empty buffer
  const char* c_str() const { return data_; }
  bool sharesblock(const string& other) const { return data_ == other.data_; }

  // Block size, in bytes, that a string of n characters occupies.
  static int capacityfor(int n);

 private:
  void release();

  char* data_;  // first character of the block, or emptystr
};

extern string nullstring;  // a global empty string

class exception : public unknown {
 public:
  explicit exception(const char* message);  // null gives the empty message
  explicit exception(const string& message);
  ~exception() override;

  virtual string getmessage();

 private:
  string message_;
};

}  // namespace pt

#endif  // THREADS_PT_STRING_H_

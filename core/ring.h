// Ring: a first-in first-out queue of values in one block of storage, for the
// Core's event queue. A deque of records of this size takes a block from the
// allocator for every two records, on the poster's thread, and gives it back
// on the delivery thread; the ring reuses its one block, which doubles when
// full and goes back to the allocator only when Trim is called on an empty
// ring.
//
// Not safe for concurrent use: its owner's lock guards it.
#ifndef CORE_RING_H_
#define CORE_RING_H_

#include <stddef.h>

#include <utility>
#include <vector>

template <typename T>
class Ring {
 public:
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  size_t capacity() const { return slots_.size(); }

  T& front() { return slots_[head_]; }
  // The i-th value from the front.
  const T& operator[](size_t i) const { return slots_[(head_ + i) & (slots_.size() - 1)]; }

  void push_back(const T& value) {
    if (count_ == slots_.size()) Grow();
    slots_[(head_ + count_) & (slots_.size() - 1)] = value;
    count_++;
  }
  void push_front(const T& value) {
    if (count_ == slots_.size()) Grow();
    head_ = (head_ + slots_.size() - 1) & (slots_.size() - 1);
    slots_[head_] = value;
    count_++;
  }
  void pop_front() {
    head_ = (head_ + 1) & (slots_.size() - 1);
    count_--;
  }

  void swap(Ring& other) {
    slots_.swap(other.slots_);
    std::swap(head_, other.head_);
    std::swap(count_, other.count_);
  }

  // An empty ring gives its storage back.
  void Trim() {
    if (count_ != 0) return;
    std::vector<T>().swap(slots_);
    head_ = 0;
  }

 private:
  static constexpr size_t kFirstCapacity = 64;  // a power of two, as every capacity

  void Grow() {
    std::vector<T> grown(slots_.empty() ? kFirstCapacity : 2 * slots_.size());
    for (size_t i = 0; i < count_; i++) grown[i] = (*this)[i];
    slots_.swap(grown);
    head_ = 0;
  }

  std::vector<T> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};

#endif  // CORE_RING_H_

// ChunkQueue: a first-in first-out queue of values kept in fixed chunks, for
// the Core's event queue.
//
// Producers append one value at a time. The consumer takes the oldest chunk
// whole (up to kChunkValues values, in order) with TakeChunk: a pointer move,
// so the lock that guards the queue is held for no longer to take many values
// than to take one. The consumer works through the chunk with no lock held
// and hands it back with Recycle; the next append reuses it. Each chunk
// carries the sum of its values' weights, so the owner can keep a running
// total (bytes queued) without looking at the values under its lock. Spare
// chunks go back to the allocator when Trim is called.
//
// Not safe for concurrent use: its owner's lock guards it. A chunk taken out
// belongs to whoever took it until it comes back through PutBack or Recycle.
#ifndef CORE_CHUNK_QUEUE_H_
#define CORE_CHUNK_QUEUE_H_

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <utility>

template <typename T, size_t kChunkValues>
class ChunkQueue {
 public:
  struct Chunk {
    T values[kChunkValues];
    size_t begin = 0;     // the oldest value still in the chunk
    size_t end = 0;       // one past the newest
    uint64_t weight = 0;  // of the values from begin on
    Chunk* next = nullptr;

    size_t size() const { return end - begin; }
  };

  ChunkQueue() = default;
  ~ChunkQueue() {
    FreeList(head_);
    FreeList(spare_);
  }
  ChunkQueue(const ChunkQueue&) = delete;
  ChunkQueue& operator=(const ChunkQueue&) = delete;

  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }

  // A new value at the back, for the caller to write in place; null only
  // when a new chunk could not be allocated.
  T* Append(uint64_t weight) {
    if (tail_ == nullptr || tail_->end == kChunkValues) {
      Chunk* chunk = spare_;
      if (chunk != nullptr) {
        spare_ = chunk->next;
        chunk->next = nullptr;
      } else {
        chunk = new (std::nothrow) Chunk;  // values left unset until written
        if (chunk == nullptr) return nullptr;
      }
      if (tail_ != nullptr) {
        tail_->next = chunk;
      } else {
        head_ = chunk;
      }
      tail_ = chunk;
    }
    tail_->weight += weight;
    count_++;
    return &tail_->values[tail_->end++];
  }

  // Where the value that many appends after the next one will go (0: the
  // next one's), when that is in the tail chunk or the first spare; null
  // otherwise. An address to prefetch, no more: takes and recycles between
  // now and then may move it.
  const T* SlotAhead(size_t ahead) const {
    size_t at = (tail_ != nullptr ? tail_->end : kChunkValues) + ahead;
    if (at < kChunkValues) return &tail_->values[at];
    at -= kChunkValues;
    return spare_ != nullptr && at < kChunkValues ? &spare_->values[at] : nullptr;
  }

  // The oldest chunk, out of the queue; null when the queue is empty.
  Chunk* TakeChunk() {
    Chunk* chunk = head_;
    if (chunk == nullptr) return nullptr;
    head_ = chunk->next;
    if (head_ == nullptr) tail_ = nullptr;
    chunk->next = nullptr;
    count_ -= chunk->size();
    return chunk;
  }

  // A taken chunk goes back to the front with the values it still holds
  // (from its begin on, whose weight the taker has set).
  void PutBack(Chunk* chunk) {
    if (chunk->size() == 0) {
      Recycle(chunk);
      return;
    }
    chunk->next = head_;
    head_ = chunk;
    if (tail_ == nullptr) tail_ = chunk;
    count_ += chunk->size();
  }

  // A taken chunk, done with, for later appends.
  void Recycle(Chunk* chunk) {
    chunk->begin = 0;
    chunk->end = 0;
    chunk->weight = 0;
    chunk->next = spare_;
    spare_ = chunk;
  }

  // Calls visit(value) for every value, oldest first.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (const Chunk* chunk = head_; chunk != nullptr; chunk = chunk->next) {
      for (size_t i = chunk->begin; i < chunk->end; i++) visit(chunk->values[i]);
    }
  }

  void swap(ChunkQueue& other) {
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(spare_, other.spare_);
    std::swap(count_, other.count_);
  }

  // The spare chunks go back to the allocator.
  void Trim() {
    FreeList(spare_);
    spare_ = nullptr;
  }

 private:
  static void FreeList(Chunk* chunk) {
    while (chunk != nullptr) {
      Chunk* next = chunk->next;
      delete chunk;
      chunk = next;
    }
  }

  Chunk* head_ = nullptr;   // owned, with every chunk after it
  Chunk* tail_ = nullptr;   // the last of head_'s list; appends go here
  Chunk* spare_ = nullptr;  // owned; emptied chunks kept for reuse
  size_t count_ = 0;
};

#endif  // CORE_CHUNK_QUEUE_H_

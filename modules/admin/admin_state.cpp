#include "modules/admin/admin_state.h"

#include <time.h>

#include <chrono>
#include <utility>

namespace admin {

namespace {

int64_t ClockMs(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int64_t MonotonicMs() { return ClockMs(CLOCK_MONOTONIC); }
int64_t WallMs() { return ClockMs(CLOCK_REALTIME); }

void AdminState::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  eventsHeard_.store(0, std::memory_order_relaxed);
  bytesHeard_.store(0, std::memory_order_relaxed);
  nextSampleMs_.store(0, std::memory_order_relaxed);
  stopped_ = false;
  openedMs_ = MonotonicMs();
  ring_.clear();
  nextSequence_ = 0;
  notices_.clear();
  statusDocument_.clear();
  blocks_.clear();
  readersDropped_ = 0;
}

void AdminState::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  appended_.notify_all();
}

void AdminState::Heard(uint32_t source, uint32_t stream, uint32_t flags, uint32_t type,
                       uint32_t size) {
  // One writer (the delivery thread): a plain load and store, no locked
  // read-modify-write.
  eventsHeard_.store(eventsHeard_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  bytesHeard_.store(bytesHeard_.load(std::memory_order_relaxed) + size, std::memory_order_relaxed);
  // The coarse clock costs a memory read; the lock is taken only for the
  // few events sampled.
  int64_t now = ClockMs(CLOCK_MONOTONIC_COARSE);
  int64_t due = nextSampleMs_.load(std::memory_order_relaxed);
  if (now < due) return;
  nextSampleMs_.store(now + 1000 / kSamplesPerSecond, std::memory_order_relaxed);
  TailEntry entry;
  entry.source = source;
  entry.stream = stream;
  entry.flags = flags;
  entry.type = type;
  entry.size = size;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Append(std::move(entry));
  }
  appended_.notify_all();
}

void AdminState::Notice(uint32_t source, const char* text, size_t length) {
  TailEntry entry;
  entry.notice = true;
  entry.source = source;
  entry.size = static_cast<uint32_t>(length);
  entry.text.assign(text, length < 1024 ? length : 1024);
  {
    std::lock_guard<std::mutex> hold(lock_);
    Append(entry);
    notices_.push_back(std::move(entry));
    if (notices_.size() > kNoticesKept) notices_.pop_front();
  }
  appended_.notify_all();
}

void AdminState::ModuleStatus(const char* text, size_t length) {
  std::string copy(text, length);
  std::lock_guard<std::mutex> hold(lock_);
  statusDocument_.swap(copy);
}

bool AdminState::PluginMetrics(uint32_t source, const char* text, size_t length) {
  if (length > kLargestBlock) return false;
  std::string copy(text, length);
  std::lock_guard<std::mutex> hold(lock_);
  auto found = blocks_.find(source);
  if (found == blocks_.end()) {
    if (blocks_.size() >= kMostBlockSources) return false;
    found = blocks_.emplace(source, MetricsBlock()).first;
  }
  found->second.text.swap(copy);
  found->second.version++;
  return true;
}

void AdminState::Append(TailEntry entry) {
  entry.sequence = nextSequence_++;
  entry.wallMs = WallMs();
  if (ring_.size() < kTailSize) {
    ring_.push_back(std::move(entry));
  } else {
    ring_[entry.sequence % kTailSize] = std::move(entry);
  }
}

int64_t AdminState::OpenedMs() const {
  std::lock_guard<std::mutex> hold(lock_);
  return openedMs_;
}

std::string AdminState::StatusDocument() const {
  std::lock_guard<std::mutex> hold(lock_);
  return statusDocument_;
}

std::deque<TailEntry> AdminState::Notices() const {
  std::lock_guard<std::mutex> hold(lock_);
  return notices_;
}

std::map<uint32_t, MetricsBlock> AdminState::Blocks() const {
  std::lock_guard<std::mutex> hold(lock_);
  return blocks_;
}

uint64_t AdminState::TailStart(size_t backlog) const {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t kept = ring_.size() < backlog ? ring_.size() : backlog;
  return nextSequence_ - kept;
}

AdminState::Wait AdminState::Follow(uint64_t* next, std::vector<TailEntry>* out, int milliseconds) {
  std::unique_lock<std::mutex> hold(lock_);
  appended_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                     [&] { return stopped_ || nextSequence_ > *next; });
  if (stopped_) return Wait::kStopped;
  if (nextSequence_ == *next) return Wait::kTimedOut;
  // Entries before the oldest one still in the ring are lost to this reader
  // (the ring also starts afresh at Reset: a reader from before has nothing
  // to follow).
  uint64_t oldest = nextSequence_ - ring_.size();
  if (*next < oldest || *next > nextSequence_) return Wait::kLapped;
  for (; *next < nextSequence_; ++*next) out->push_back(ring_[*next % kTailSize]);
  return Wait::kEntries;
}

bool AdminState::AddReader(size_t most) {
  std::lock_guard<std::mutex> hold(lock_);
  if (readers_ >= most) return false;
  readers_++;
  return true;
}

void AdminState::RemoveReader(bool dropped) {
  std::lock_guard<std::mutex> hold(lock_);
  readers_--;
  if (dropped) readersDropped_++;
}

size_t AdminState::Readers() const {
  std::lock_guard<std::mutex> hold(lock_);
  return readers_;
}

uint64_t AdminState::ReadersDropped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return readersDropped_;
}

}  // namespace admin

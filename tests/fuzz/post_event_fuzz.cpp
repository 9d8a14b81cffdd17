// post_event_fuzz: a libFuzzer target that drives one running Core through
// PostEvent with arbitrary sequences of posts.
//
// The Core is created at the first input and kept for the whole run. It loads
// six copies of the probe plug-in from a scratch folder: four sinks (three
// receive Write, one only broadcasts through IOCTL) and two producers whose
// Read calls post a few frames on the stream they are handed. Each input is a
// list of operations (see kOpTable below): ordinary posts with arbitrary
// source, stream, flags, type and payload; releases of payloads the sinks kept,
// under the right id and a wrong one; releases of pointers nobody holds; stream
// starts and stops; bursts, pauses and waits for delivery.
//
// Whether a sink keeps a payload is decided by the payload's first byte, which
// comes from the input (kControl* bits), so a decision never depends on the
// order in which threads happen to run.
//
// The checks, each of which prints what broke and aborts (libFuzzer then saves
// the input):
//   - every post answers 0, 1, 5 or -1, and exactly what a model of the
//     streams the fuzzer started and stopped expects;
//   - every record reaches a sink with the fields, payload and body it was
//     posted with, at most once and in posting order;
//   - no sink is handed a payload on a stream while that stream's previous
//     payload is still alive;
//   - a kept payload stays readable and unchanged until its release (ASan
//     catches a copy freed too early);
//   - at the end of the input, after the last release: no payload copy is live
//     (PayloadLedger), none was freed twice, the Core holds none, its queue is
//     empty, and every stream the input used takes a new post at once;
//   - no input takes longer than kInputDeadlineMs: a watchdog aborts with the
//     step in progress (a post waiting for ever on a stream's gate, or a
//     delivery that never comes).
//
// The fuzzer itself never makes a post that could wait for ever: before a post
// or start on a stream it waits until the Core has delivered everything the
// fuzzer posted, then releases what the sinks kept of that stream (and every
// payload kept from a broadcast, whose stream a sink cannot see); producers'
// frames and sinks' own posts start with a zero byte, so nobody keeps them;
// and sinks post from Write and IOCTL only on no stream.
//
// Threads: libFuzzer's thread runs the inputs; the Core's event handler runs
// the sinks' hooks; producers' Read calls run on threads of their own; a
// watchdog thread watches the clock. Shared state is guarded by Fuzzer::lock
// unless it is atomic.
#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <wx/filename.h>
#include <wx/init.h>

#include "core/core.h"
#include "core/payload_ledger.h"
#include "core/plugin_api.h"
#include "tests/plugins/probe.h"
#include "tests/support/core_internals.h"
#include "tests/support/event_record.h"
#include "tests/support/test_support.h"

namespace {

// ---- Fixed identities and limits ----------------------------------------

const uint32_t kSinkCount = 4;
const uint32_t kProducerCount = 2;
const uint32_t kSinkBase = 0x100;      // sink i has id kSinkBase + i
const uint32_t kProducerBase = 0x200;  // producer i has id kProducerBase + i
const uint32_t kFuzzerId = 0x300;      // the usual source of the fuzzer's posts
const uint32_t kMarkerSource = 0x7A7A0001;  // only the fuzzer's delivery markers
const uint32_t kMarkerType = 0x02000077;
const uint32_t kEchoType = 0x02000042;
const uint32_t kBodyMagic = 0x5A5A4655;  // body[0..3] of the fuzzer's own posts

// Stream handles: eight per input, kStreamEpochs inputs apart, so that an
// input mostly meets fresh streams while the table stays small.
const uint32_t kStreamBase = 0x00A00000;
const uint32_t kStreamEpochs = 1024;

const uint32_t kMaxPayload = 4096;
const int kMaxOps = 96;
const int kMaxFramesPerRead = 4;
const int kInputDeadlineMs = 8000;   // below libFuzzer's -timeout=10
const int kDeliveryDeadlineMs = 5000;

// The first payload byte: what each sink does with the payload.
const uint8_t kControlKeep = 0x0F;           // bit i: sink i keeps it
const uint8_t kControlReleaseInCall = 0x10;  // the sink releases it inside the call
const uint8_t kControlEcho = 0x20;           // the sink posts an event of its own
const uint8_t kControlWideKeep = 0x40;       // keep is 0xFFFFFFFF rather than 1

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "\n==post_event_fuzz== invariant broken: ");
  vfprintf(stderr, format, args);
  fprintf(stderr, "\n");
  va_end(args);
  fflush(stderr);
  abort();
}

uint32_t Checksum(const void* data, uint32_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < size; i++) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

uint8_t Pattern(uint64_t seed, size_t index) {
  return static_cast<uint8_t>((seed * 131u + index * 29u + 7u) & 0xFF);
}

// Posts as a plug-in would and checks what every post must satisfy.
int32_t PostChecked(const EventRecord& record, const char* what) {
  EventResult result{};
  result.size = sizeof(result);
  result.version = 1;
  result.result = 12345;
  int32_t returned = PostEvent(&record, &result);
  if (returned != 0) Fail("%s: PostEvent returned %d, not 0", what, returned);
  int32_t code = result.result;
  if (code != POST_OK && code != POST_NO_STREAM && code != POST_THROTTLED &&
      code != POST_NO_MEMORY) {
    Fail("%s: result %d is none of 0, 1, 5, -1 (source 0x%X stream 0x%X flags 0x%X type 0x%X)",
         what, code, record.source, record.stream, record.flags, record.type);
  }
  return code;
}

bool Metered(const EventRecord& record) {
  return (record.flags & EVENT_FLAG_METERED) != 0 && (record.type & TYPE_CLASS_METERED) != 0;
}

// The four kinds of post, told apart as the Core tells them apart.
enum class Kind { kRelease, kOrdinary, kStop, kStart };

Kind Classify(const EventRecord& record) {
  if (record.flags == EVENT_RELEASE) return Kind::kRelease;
  if (record.source != 0) return Kind::kOrdinary;
  if (record.flags == EVENT_STOP_STREAM) return Kind::kStop;
  return Kind::kStart;
}

// Reads an input front to back; past its end every byte reads as 0.
class Reader {
 public:
  Reader(const uint8_t* input, size_t inputSize) : bytes(input), size(inputSize) {}
  bool Done() const { return position >= size; }
  uint8_t Byte() { return position < size ? bytes[position++] : 0; }
  uint32_t U16() { return Byte() | static_cast<uint32_t>(Byte()) << 8; }
  uint32_t U32() { return U16() | U16() << 16; }

 private:
  const uint8_t* bytes;  // borrowed; libFuzzer's input, valid for the input's run
  size_t size;
  size_t position = 0;
};

// A payload a sink kept and has not released yet.
struct Kept {
  const void* payload;   // the Core's copy; valid until released
  uint32_t sink;         // index
  uint32_t stream;       // the record's stream; meaningless unless streamKnown
  bool streamKnown;      // false for broadcasts (IOCTL carries no stream)
  uint32_t size;
  uint32_t checksum;     // of the bytes when the sink kept them
};

// A payload a sink gave back, kept to give back again as a bogus release.
struct Released {
  const void* payload;  // may be freed: only its address is used
  uint32_t sink;    // index
  uint64_t serial;  // its PayloadLedger serial before the release
};

// What the fuzzer posted under one sequence number, to check deliveries by.
struct Posted {
  EventRecord record;            // as posted (payload pointer meaningless)
  std::vector<uint8_t> payload;  // the bytes the Core must hand out
  bool hasPayload;
};

// The previous payload a sink saw on a stream.
struct LastOnStream {
  const void* payload = nullptr;  // may be freed: only its address is used
  uint64_t serial = 0;  // its PayloadLedger serial then
};

class Fuzzer {
 public:
  Fuzzer() : scratch(kMaxPayload) {}
  Fuzzer(const Fuzzer&) = delete;
  Fuzzer& operator=(const Fuzzer&) = delete;

  // libFuzzer's thread, first input only.
  void Start();
  // libFuzzer's thread: one input.
  void Run(const uint8_t* data, size_t size);
  // atexit: a normal end of the run stops the Core before the plug-ins'
  // static objects go.
  void StopAtExit();

 private:
  // ---- Operations (libFuzzer's thread) ----
  void OpPost(Reader* in, bool raw);
  void OpBurst(Reader* in);
  void OpReleaseKept(Reader* in);
  void OpReleaseUnderWrongId(Reader* in);
  void OpReleaseBogus(Reader* in);
  void OpStart(Reader* in);
  void OpStop(Reader* in);
  void OpPause(Reader* in);

  uint32_t PickSource(Reader* in, bool allowZero);
  uint32_t PickStream(Reader* in, bool allowAnyHandle);
  uint32_t PickFlags(Reader* in);
  uint32_t PickType(Reader* in);
  uint32_t Handle(uint32_t index) const {
    return kStreamBase + static_cast<uint32_t>(inputNumber.load() % kStreamEpochs) * 8 + index;
  }

  // Posts any kind of record with the safety steps and checks its kind needs.
  void Submit(EventRecord record, const char* what);
  int32_t ExpectedResult(const EventRecord& record);
  void PrepareStream(uint32_t stream);
  void Flush(const char* what);
  void ReleaseEntry(const Kept& entry, const char* what);
  void RememberReleased(const void* payload, uint32_t sink, uint64_t serial);
  void ReleaseKeptWhere(bool all, uint32_t stream);
  void EndInput();
  void Step(const char* what) { step.store(what); }

  // ---- Plug-in hooks (the Core's threads) ----
  uint32_t OnWrite(uint32_t sink, const WriteRequest& request);
  uint32_t OnIoctl(uint32_t sink, const IoctlRequest& request);
  void OnRead(uint32_t producer, const ReadRequest& request);
  uint32_t Decide(uint32_t sink, const void* payload, uint32_t size, uint32_t stream,
                  bool streamKnown);
  void CheckPosted(uint32_t sink, const WriteRequest& request);
  void CheckStreamOrder(uint32_t sink, uint32_t stream, const void* payload);

  void Watch();

  // Set up by Start, then read-only.
  Core* core = nullptr;  // owned; stopped and deleted at exit
  // Borrowed: each lives in its copy of the probe library, which `handles`
  // keeps loaded for the whole process.
  Probe* sinks[kSinkCount] = {};
  Probe* producers[kProducerCount] = {};
  std::vector<void*> handles;  // owned dlopen handles; never closed

  std::atomic<uint64_t> inputNumber{0};  // written by libFuzzer's thread only

  // libFuzzer's thread only.
  std::vector<uint8_t> scratch;    // payload buffer for the next post
  std::set<uint32_t> started;      // model: streams ever started
  std::set<uint32_t> cancelled;    // model: streams stopped and not started since
  std::set<uint32_t> dirty;        // streams posted on since the last flush
  std::set<uint32_t> touched;      // streams this input used
  uint64_t markerNumber = 0;

  std::mutex lock;
  std::condition_variable markerArrived;
  std::vector<Kept> kept;                                        // guarded by lock
  std::vector<Released> released;                                // guarded by lock
  std::unordered_map<uint64_t, Posted> posted;                   // guarded by lock; by sequence
  uint64_t lastSequence[kSinkCount] = {};                        // guarded by lock
  std::map<std::pair<uint32_t, uint32_t>, LastOnStream> onStream;  // guarded by lock
  uint64_t markerSeen = 0;                                       // guarded by lock

  // Counts for the summary POST_EVENT_FUZZ_VERBOSE=1 prints after each input.
  struct Counts {
    std::atomic<uint64_t> accepted{0}, refused{0}, kept{0}, releases{0}, starts{0}, stops{0},
        frames{0}, writes{0}, ioctls{0};
  } counts;
  bool verbose = false;  // set by Start

  std::atomic<uint64_t> sequence{0};  // the fuzzer's posts, numbered
  std::atomic<int> readsRunning{0};
  std::atomic<int64_t> inputStarted{0};  // ms; 0 between inputs
  std::atomic<const char*> step{"idle"};
  std::atomic<bool> stopping{false};
};

// ---- Start-up -----------------------------------------------------------

void Fuzzer::Start() {
  const char* verboseSetting = getenv("POST_EVENT_FUZZ_VERBOSE");
  verbose = verboseSetting != nullptr && verboseSetting[0] == '1';
  testing_support::TempTree* tree = new testing_support::TempTree();
  std::string probe = testing_support::TestPlugin("probe");
  auto load = [&](const std::string& name) -> Probe* {
    std::string path = tree->AddPlugin(probe, name);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) Fail("cannot open %s: %s", path.c_str(), dlerror());
    handles.push_back(handle);
    auto instance = reinterpret_cast<ProbeInstanceFunction>(dlsym(handle, "ProbeInstance"));
    if (instance == nullptr) Fail("%s exports no ProbeInstance", path.c_str());
    return instance();
  };

  // Sink 0 hears everything, and the delivery markers; sinks 1 and 2 hear
  // parts; sink 3 receives no Write, only broadcasts.
  for (uint32_t i = 0; i < kSinkCount; i++) {
    Probe* sink = load("fuzz_sink" + std::to_string(i) + ".so");
    sink->descriptor.id = kSinkBase + i;
    sink->descriptor.eventSink = i < 3 ? 1 : 0;
    static const uint32_t kMasks[kSinkCount][PLUGIN_SUBSCRIPTION_MASKS] = {
        {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u},
        {~0u, 0x02FFFFFF, 0x0000FFFF, 0, 0xFE000001, 0x10, 0x02000002, 0, ~0u},
        {0, 0, 0, ~0u, 0, 0x20, 0, 0, ~0u},
        {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u},
    };
    memcpy(sink->descriptor.subscriptionMask, kMasks[i], sizeof(kMasks[i]));
    sink->hooks.write = [this, i](const WriteRequest& request) { return OnWrite(i, request); };
    sink->hooks.ioctl = [this, i](const IoctlRequest& request) { return OnIoctl(i, request); };
    sinks[i] = sink;
  }
  for (uint32_t i = 0; i < kProducerCount; i++) {
    Probe* producer = load("fuzz_producer" + std::to_string(i) + ".so");
    producer->descriptor.id = kProducerBase + i;
    producer->descriptor.readThread = 1;
    producer->descriptor.subscriptionMask[i] = ~0u;  // producer i answers flags bit i
    producer->descriptor.subscriptionMask[2] = 0x00800000u | 0xFFFF;
    producer->hooks.read = [this, i](const ReadRequest& request) { OnRead(i, request); };
    producer->hooks.ioctl = [](const IoctlRequest&) -> uint32_t { return 0; };
    producers[i] = producer;
  }

  PayloadLedger::Enable(true);  // before the status document's copy is made
  core = new Core(wxFileName(wxString::FromUTF8(tree->ExecutablePath().c_str())));
  if (!core->Start()) Fail("the Core did not start");
  if (CoreInspector(core).PluginCount() != kSinkCount + kProducerCount) {
    Fail("the Core loaded %zu plug-ins, not %u", CoreInspector(core).PluginCount(),
         kSinkCount + kProducerCount);
  }
  delete tree;  // the libraries are loaded; their files are no longer needed

  std::thread([this] { Watch(); }).detach();
  // The status document and the producers' first Read are on their way:
  // settle them like the end of an input.
  inputStarted.store(NowMs());
  EndInput();
  inputStarted.store(0);
}

void Fuzzer::StopAtExit() {
  if (core == nullptr) return;
  stopping.store(true);
  core->Stop();
  delete core;
  core = nullptr;
}

// Watchdog thread: an input that runs past its deadline is a hang.
void Fuzzer::Watch() {
  while (!stopping.load()) {
    usleep(50 * 1000);
    int64_t since = inputStarted.load();
    if (since != 0 && NowMs() - since > kInputDeadlineMs) {
      Fail("input %llu still running after %d ms, in step: %s",
           static_cast<unsigned long long>(inputNumber.load()), kInputDeadlineMs, step.load());
    }
  }
}

// ---- Inputs -------------------------------------------------------------

enum class Op {
  kPost,           // ordinary post: source, stream, flags, type, payload
  kRawPost,        // any record, also source 0: may be a start, stop or release
  kReleaseKept,    // a kept payload, by its keeper
  kReleaseWrongId, // a kept payload, under an id that does not hold it
  kReleaseBogus,   // null, never delivered, or already released
  kStart,          // stream start, with a command for the producers
  kStop,           // stream stop
  kFlush,          // wait until everything posted so far has been delivered
  kPause,          // let the Core's threads run a little
  kBurst,          // many small posts on no stream at once
};

// The opcode byte modulo 16 picks the operation.
const Op kOpTable[16] = {
    Op::kPost,        Op::kPost,          Op::kPost,         Op::kPost,
    Op::kPost,        Op::kRawPost,       Op::kReleaseKept,  Op::kReleaseKept,
    Op::kReleaseWrongId, Op::kReleaseBogus, Op::kStart,      Op::kStart,
    Op::kStop,        Op::kFlush,         Op::kPause,        Op::kBurst,
};

void Fuzzer::Run(const uint8_t* data, size_t size) {
  inputNumber.fetch_add(1);
  inputStarted.store(NowMs());
  Reader in(data, size);
  for (int ops = 0; ops < kMaxOps && !in.Done(); ops++) {
    switch (kOpTable[in.Byte() % 16]) {
      case Op::kPost: OpPost(&in, false); break;
      case Op::kRawPost: OpPost(&in, true); break;
      case Op::kReleaseKept: OpReleaseKept(&in); break;
      case Op::kReleaseWrongId: OpReleaseUnderWrongId(&in); break;
      case Op::kReleaseBogus: OpReleaseBogus(&in); break;
      case Op::kStart: OpStart(&in); break;
      case Op::kStop: OpStop(&in); break;
      case Op::kFlush: Flush("flush operation"); break;
      case Op::kPause: OpPause(&in); break;
      case Op::kBurst: OpBurst(&in); break;
    }
  }
  EndInput();
  inputStarted.store(0);
  Step("idle");
  if (verbose) {
    fprintf(stderr,
            "input %llu: %llu accepted, %llu refused, %llu starts, %llu stops, %llu frames, "
            "%llu Write, %llu IOCTL, %llu kept, %llu releases\n",
            static_cast<unsigned long long>(inputNumber.load()),
            static_cast<unsigned long long>(counts.accepted.exchange(0)),
            static_cast<unsigned long long>(counts.refused.exchange(0)),
            static_cast<unsigned long long>(counts.starts.exchange(0)),
            static_cast<unsigned long long>(counts.stops.exchange(0)),
            static_cast<unsigned long long>(counts.frames.exchange(0)),
            static_cast<unsigned long long>(counts.writes.exchange(0)),
            static_cast<unsigned long long>(counts.ioctls.exchange(0)),
            static_cast<unsigned long long>(counts.kept.exchange(0)),
            static_cast<unsigned long long>(counts.releases.exchange(0)));
  }
}

uint32_t Fuzzer::PickSource(Reader* in, bool allowZero) {
  uint8_t choice = in->Byte();
  switch (choice % 8) {
    case 0: case 1: case 2: return kFuzzerId;
    case 3: return kSinkBase + (choice >> 3) % kSinkCount;
    case 4: return kProducerBase + (choice >> 3) % kProducerCount;
    case 5: return SOURCE_CORE;
    case 6: return allowZero ? 0 : PLUGIN_ID_FRONT;
    default: {
      uint32_t source = in->U32();
      if (source == kMarkerSource || (source == 0 && !allowZero)) source = kFuzzerId;
      return source;
    }
  }
}

uint32_t Fuzzer::PickStream(Reader* in, bool allowAnyHandle) {
  uint8_t choice = in->Byte();
  uint32_t index = choice % 10;
  if (index == 0) return 0;
  if (index <= 7) return Handle(index);
  if (index == 8 && allowAnyHandle) return in->U32();
  return Handle(1 + (choice >> 4) % 7);
}

uint32_t Fuzzer::PickFlags(Reader* in) {
  uint8_t masks = in->Byte();
  if (masks == 0xFF) return in->U32();
  uint8_t extra = in->Byte();
  uint32_t flags = masks;
  if (extra & 0x01) flags |= EVENT_FLAG_OTHERS;
  if (extra & 0x02) flags |= EVENT_FLAG_ALL;
  if (extra & 0x04) flags |= EVENT_FLAG_MASK8;
  if (extra & 0x08) flags |= EVENT_RELEASE;
  if (extra & 0x10) flags |= EVENT_STOP_STREAM;
  if (extra & 0x20) flags = EVENT_RELEASE;
  if (extra & 0x40) flags = EVENT_STOP_STREAM;
  return flags;
}

uint32_t Fuzzer::PickType(Reader* in) {
  static const uint32_t kTypes[6] = {0,          0x02000001, TYPE_TEXT_NOTICE,
                                     0x01000003, 0x80000001, 0xFFFFFFFF};
  uint8_t choice = in->Byte() % 8;
  return choice < 6 ? kTypes[choice] : in->U32();
}

void Fuzzer::OpPost(Reader* in, bool raw) {
  uint32_t source = PickSource(in, raw);
  uint32_t stream = PickStream(in, !raw);
  uint32_t flags = PickFlags(in);
  uint32_t type = PickType(in);
  // Payload: null with a size, a buffer with size 0, or a buffer whose first
  // byte (from the input) steers the sinks and whose rest is a pattern.
  uint8_t shape = in->Byte();
  uint32_t size = ((shape & 0x1F) << 8 | in->Byte()) % (kMaxPayload + 1);
  uint8_t control = in->Byte();
  const void* payload = scratch.data();
  switch (shape >> 5) {
    case 0: payload = nullptr; break;
    case 1: size = 0; break;
    case 2: size = size % 17; break;
    default: break;
  }
  uint64_t seed = sequence.load() + 1;
  for (uint32_t i = 0; i < size; i++) scratch[i] = Pattern(seed, i);
  if (size > 0) scratch[0] = control;
  Submit(MakeRecord(source, stream, flags, type, payload, size), raw ? "raw post" : "post");
}

void Fuzzer::OpBurst(Reader* in) {
  uint32_t count = in->Byte() % 16 + 1;
  uint8_t control = in->Byte();
  uint32_t flags = in->Byte();
  for (uint32_t n = 0; n < count; n++) {
    uint32_t size = 1 + (n * 37) % 64;
    for (uint32_t i = 0; i < size; i++) scratch[i] = Pattern(n, i);
    scratch[0] = control;
    Submit(MakeRecord(kFuzzerId, 0, flags, 0x02000001, scratch.data(), size), "burst post");
  }
}

void Fuzzer::OpReleaseKept(Reader* in) {
  uint8_t choice = in->Byte();
  Kept entry{};
  {
    std::lock_guard<std::mutex> hold(lock);
    if (kept.empty()) return;
    size_t at = choice % kept.size();
    entry = kept[at];
    kept.erase(kept.begin() + static_cast<long>(at));
  }
  ReleaseEntry(entry, "release of a kept payload");
}

void Fuzzer::OpReleaseUnderWrongId(Reader* in) {
  uint8_t choice = in->Byte();
  uint8_t who = in->Byte();
  Kept entry{};
  {
    std::lock_guard<std::mutex> hold(lock);
    if (kept.empty()) return;
    entry = kept[choice % kept.size()];
  }
  // None of these ids is a sink's, so none can hold the payload once the
  // delivery in progress (if any) is over.
  static const uint32_t kWrongIds[5] = {kFuzzerId, kProducerBase, SOURCE_CORE, 0, 0x10000100};
  uint32_t source = kWrongIds[who % 5];
  Step("release under a wrong id");
  EventRecord record = MakeRecord(source, 0, EVENT_RELEASE, 0, entry.payload, 0);
  if (PostChecked(record, "release under a wrong id") != POST_OK) {
    Fail("a release under a wrong id did not answer POST_OK");
  }
}

void Fuzzer::OpReleaseBogus(Reader* in) {
  static const char kNeverDelivered[] = "never delivered";
  uint8_t choice = in->Byte();
  uint32_t source = kSinkBase + (choice >> 4) % kSinkCount;
  const void* payload = nullptr;
  switch (choice % 6) {
    case 0: break;  // null
    case 1: payload = scratch.data() + in->Byte(); break;
    case 2: payload = kNeverDelivered; break;
    case 3: {
      std::lock_guard<std::mutex> hold(lock);
      if (released.empty()) break;
      const Released& pick = released[in->Byte() % released.size()];
      // An address handed out again holds a new copy, which the sink may
      // well keep: giving that back would be a true release.
      uint64_t serial = PayloadLedger::Serial(pick.payload);
      if (serial != 0 && serial != pick.serial) break;
      payload = pick.payload;
      source = kSinkBase + pick.sink;  // the very sink that gave it back already
      break;
    }
    case 4: payload = reinterpret_cast<const void*>(static_cast<uintptr_t>(in->U16() + 1)); break;
    default:
      payload = reinterpret_cast<const void*>(static_cast<uintptr_t>(0xFFFF800000000000ull) +
                                              in->U16());
      break;
  }
  Step("bogus release");
  EventRecord record = MakeRecord(source, 0, EVENT_RELEASE, 0, payload, 0);
  if (PostChecked(record, "bogus release") != POST_OK) Fail("a bogus release did not answer POST_OK");
}

void Fuzzer::OpStart(Reader* in) {
  uint32_t stream = PickStream(in, false);
  uint8_t selector = in->Byte();
  uint32_t flags = (selector & 0x80) ? in->U32() : (selector & 0x0F);
  uint32_t type = PickType(in);
  // The producers' command: a frame count, then per frame its flags, type
  // and size.
  uint8_t shape = in->Byte();
  uint8_t command[1 + 3 * kMaxFramesPerRead];
  uint32_t frames = (shape >> 1) % (kMaxFramesPerRead + 1);
  command[0] = static_cast<uint8_t>(frames);
  for (uint32_t i = 0; i < 3 * frames; i++) command[1 + i] = in->Byte();
  const void* payload = (shape & 1) ? nullptr : command;
  uint32_t size = (shape & 1) ? 0 : 1 + 3 * frames;
  Submit(MakeRecord(0, stream, flags, type, payload, size), "stream start");
}

void Fuzzer::OpStop(Reader* in) {
  uint32_t stream = PickStream(in, false);
  Submit(MakeRecord(0, stream, EVENT_STOP_STREAM, 0, nullptr, 0), "stream stop");
}

void Fuzzer::OpPause(Reader* in) {
  Step("pause");
  usleep((in->Byte() & 0x3F) * 20u);
}

// ---- Posting with a model -----------------------------------------------

int32_t Fuzzer::ExpectedResult(const EventRecord& record) {
  if (record.stream == 0) return POST_OK;
  if (started.count(record.stream) == 0 || cancelled.count(record.stream) != 0) {
    return POST_NO_STREAM;
  }
  return POST_OK;
}

void Fuzzer::Submit(EventRecord record, const char* what) {
  Kind kind = Classify(record);
  // Stream 0's gate is never held: posts on no stream do not take it.
  if ((kind == Kind::kOrdinary || kind == Kind::kStart) && record.stream != 0) {
    PrepareStream(record.stream);
  }
  Step(what);
  uint64_t number = 0;
  if (kind == Kind::kOrdinary) {
    number = sequence.fetch_add(1) + 1;
    memcpy(record.body, &kBodyMagic, sizeof(kBodyMagic));
    memcpy(record.body + 4, &number, sizeof(number));
    for (size_t i = 12; i < sizeof(record.body); i++) record.body[i] = Pattern(number, i);
    Posted entry;
    entry.record = record;
    entry.hasPayload = record.payload != nullptr && record.payloadSize != 0;
    if (entry.hasPayload) {
      const uint8_t* bytes = static_cast<const uint8_t*>(record.payload);
      entry.payload.assign(bytes, bytes + record.payloadSize);
    }
    std::lock_guard<std::mutex> hold(lock);
    posted[number] = std::move(entry);  // before the post: delivery may beat its return
  }
  int32_t result = PostChecked(record, what);
  switch (kind) {
    case Kind::kOrdinary: {
      int32_t expected = ExpectedResult(record);
      if (result != expected && !(result == POST_THROTTLED && Metered(record))) {
        Fail("%s on stream 0x%X (source 0x%X flags 0x%X type 0x%X) answered %d; the stream is %s, "
             "so %d was due",
             what, record.stream, record.source, record.flags, record.type, result,
             started.count(record.stream) == 0   ? "not started"
             : cancelled.count(record.stream) != 0 ? "cancelled"
                                                   : "open",
             expected);
      }
      (result == POST_OK ? counts.accepted : counts.refused).fetch_add(1);
      if (result != POST_OK) {
        std::lock_guard<std::mutex> hold(lock);
        posted.erase(number);  // refused: a delivery of it would be an error
      } else if (record.stream != 0) {
        dirty.insert(record.stream);
      }
      if (record.stream != 0) touched.insert(record.stream);
      break;
    }
    case Kind::kRelease:
    case Kind::kStop:
    case Kind::kStart:
      if (result != POST_OK) Fail("%s (flags 0x%X) answered %d, not POST_OK", what, record.flags, result);
      if (kind == Kind::kStart) {
        counts.starts.fetch_add(1);
        started.insert(record.stream);
        cancelled.erase(record.stream);  // a start after a stop makes a new stream
        touched.insert(record.stream);
      } else if (kind == Kind::kStop) {
        counts.stops.fetch_add(1);
        if (started.count(record.stream) != 0) cancelled.insert(record.stream);
      }
      break;
  }
}

// Before a post or start on `stream` that may wait for its gate: nothing the
// fuzzer posted on it may still be on its way (a sink could keep it after the
// release below), and nothing a sink kept of that stream may stay held.
void Fuzzer::PrepareStream(uint32_t stream) {
  if (dirty.count(stream) != 0) Flush("delivery before a stream post");
  ReleaseKeptWhere(false, stream);
}

// Posts a marker on no stream and waits until sink 0 has it: the queue is
// delivered in order, so everything posted earlier has been delivered too.
void Fuzzer::Flush(const char* what) {
  Step(what);
  uint64_t number = ++markerNumber;
  EventRecord marker = MakeRecord(kMarkerSource, 0, EVENT_FLAG_MASK(7), kMarkerType, nullptr, 0);
  memcpy(marker.body + 4, &number, sizeof(number));
  int32_t result = PostChecked(marker, "delivery marker");
  if (result != POST_OK) Fail("delivery marker answered %d", result);
  std::unique_lock<std::mutex> hold(lock);
  if (!markerArrived.wait_for(hold, std::chrono::milliseconds(kDeliveryDeadlineMs),
                              [&] { return markerSeen >= number; })) {
    Fail("%s: the Core did not deliver a marker within %d ms (queue %zu)", what,
         kDeliveryDeadlineMs, CoreInspector(core).QueueSize());
  }
  dirty.clear();
}

// Releases one kept payload by its keeper, after checking it is still there
// and unchanged (ASan reports a read of one freed too early).
void Fuzzer::ReleaseEntry(const Kept& entry, const char* what) {
  Step(what);
  uint32_t now = Checksum(entry.payload, entry.size);
  if (now != entry.checksum) {
    Fail("payload %p kept by sink %u changed before its release", entry.payload, entry.sink);
  }
  uint64_t serial = PayloadLedger::Serial(entry.payload);
  EventRecord record = MakeRecord(kSinkBase + entry.sink, 0, EVENT_RELEASE, 0, entry.payload, 0);
  if (PostChecked(record, what) != POST_OK) Fail("%s did not answer POST_OK", what);
  counts.releases.fetch_add(1);
  RememberReleased(entry.payload, entry.sink, serial);
}

// Any thread. The last 64 payloads given back, for bogus releases.
void Fuzzer::RememberReleased(const void* payload, uint32_t sink, uint64_t serial) {
  std::lock_guard<std::mutex> hold(lock);
  if (released.size() >= 64) released.erase(released.begin());
  released.push_back(Released{payload, sink, serial});
}

// Releases every kept payload (all), or those that may be on `stream`.
void Fuzzer::ReleaseKeptWhere(bool all, uint32_t stream) {
  std::vector<Kept> chosen;
  {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<Kept> left;
    for (const Kept& entry : kept) {
      if (all || !entry.streamKnown || entry.stream == stream) {
        chosen.push_back(entry);
      } else {
        left.push_back(entry);
      }
    }
    kept.swap(left);
  }
  for (const Kept& entry : chosen) ReleaseEntry(entry, "release before a stream post or at the end");
}

// The end of an input: give everything back, let the Core deliver it all,
// check that every stream used still opens, then that nothing is left.
void Fuzzer::EndInput() {
  Flush("end of input: delivery");
  ReleaseKeptWhere(true, 0);

  // Every stream used that is still open takes a post at once; a gate left
  // shut would hold this post, and the watchdog reports it.
  for (uint32_t stream : touched) {
    if (started.count(stream) == 0 || cancelled.count(stream) != 0) continue;
    uint8_t probe[8] = {0, 1, 2, 3, 4, 5, 6, 7};  // first byte 0: nobody keeps it
    Step("end of input: a post on each open stream");
    EventRecord record = MakeRecord(kFuzzerId, stream, EVENT_FLAG_MASK(0), 0x02000001, probe,
                                    sizeof(probe));
    int32_t result = PostChecked(record, "end-of-input post on an open stream");
    if (result != POST_OK) Fail("end-of-input post on open stream 0x%X answered %d", stream, result);
  }

  // Quiet: the producers' Read calls have ended, everything is delivered and
  // released, and no payload copy is live. The Read calls must be over before
  // the marker goes out, or a frame without payload could follow it unseen;
  // a Read call still to come holds a payload copy, so the ledger shows it.
  int64_t deadline = NowMs() + kDeliveryDeadlineMs;
  for (;;) {
    bool readsOver = readsRunning.load() == 0 && PayloadLedger::Read().live == 0;
    Flush("end of input: waiting for quiet");
    ReleaseKeptWhere(true, 0);
    if (readsOver && PayloadLedger::Read().live == 0) break;
    if (NowMs() > deadline) {
      PayloadLedger::Totals totals = PayloadLedger::Read();
      Fail("%llu payload copies still live %d ms after the last release (copies %llu, frees %llu, "
           "Read calls running %d, Core holds %zu)",
           static_cast<unsigned long long>(totals.live), kDeliveryDeadlineMs,
           static_cast<unsigned long long>(totals.copies),
           static_cast<unsigned long long>(totals.frees), readsRunning.load(),
           CoreInspector(core).HeldPayloads());
    }
    usleep(1000);
  }
  PayloadLedger::Totals totals = PayloadLedger::Read();
  if (totals.errors != 0) {
    Fail("%llu frees of payloads the ledger did not hold (freed twice, or never copied)",
         static_cast<unsigned long long>(totals.errors));
  }
  size_t held = CoreInspector(core).HeldPayloads();
  if (held != 0) Fail("the Core still counts holders for %zu payloads after every release", held);
  size_t queued = CoreInspector(core).QueueSize();
  if (queued != 0) Fail("%zu records still queued after the last marker was delivered", queued);

  {
    std::lock_guard<std::mutex> hold(lock);
    posted.clear();
    released.clear();
    onStream.clear();
  }
  touched.clear();
  // The probes record every call; only this input's records are of use.
  for (Probe* probe : sinks) probe->Clear();
  for (Probe* probe : producers) probe->Clear();
}

// ---- Plug-in hooks ------------------------------------------------------

// Event handler thread.
uint32_t Fuzzer::OnWrite(uint32_t sink, const WriteRequest& request) {
  if (request.source == kMarkerSource) {
    if (sink == 0) {
      uint64_t number;
      memcpy(&number, request.body + 4, sizeof(number));
      std::lock_guard<std::mutex> hold(lock);
      markerSeen = number;
      markerArrived.notify_all();
    }
    return 0;
  }
  if (request.size != sizeof(WriteRequest) || request.version != 1 || request.code != 0 ||
      request.ownThread != 0) {
    Fail("sink %u: Write request header %u/%u code %u ownThread %u", sink, request.size,
         request.version, request.code, request.ownThread);
  }
  if ((request.payload == nullptr) != (request.payloadSize == 0)) {
    Fail("sink %u: Write payload %p with size %u", sink, request.payload, request.payloadSize);
  }
  counts.writes.fetch_add(1);
  if (request.stream != 0) CheckStreamOrder(sink, request.stream, request.payload);
  CheckPosted(sink, request);
  return Decide(sink, request.payload, request.payloadSize, request.stream, true);
}

// Event handler thread.
uint32_t Fuzzer::OnIoctl(uint32_t sink, const IoctlRequest& request) {
  counts.ioctls.fetch_add(1);
  if (request.code != IOCTL_EVENT_OTHERS && request.code != IOCTL_EVENT_ALL) {
    Fail("sink %u: IOCTL code %u on the event handler thread", sink, request.code);
  }
  if (request.paramSize != IOCTL_PARAM_SIZE_EVENT || request.paramVersion != 1) {
    Fail("sink %u: IOCTL parameter block %u/%u", sink, request.paramSize, request.paramVersion);
  }
  if ((request.payload == nullptr) != (request.payloadSize == 0)) {
    Fail("sink %u: IOCTL payload %p with size %u", sink, request.payload, request.payloadSize);
  }
  return Decide(sink, request.payload, request.payloadSize, 0, false);
}

// Event handler thread. Keeps, releases in the call, or echoes, as the
// payload's first byte says.
uint32_t Fuzzer::Decide(uint32_t sink, const void* payload, uint32_t size, uint32_t stream,
                        bool streamKnown) {
  if (payload == nullptr || size == 0) return 0;
  uint8_t control = static_cast<const uint8_t*>(payload)[0];
  if (control & kControlEcho) {
    // An ordinary post on no stream is allowed here; its first byte 0 keeps
    // it from being kept or echoed again.
    uint8_t echo[4] = {0, static_cast<uint8_t>(sink), 0, 0};
    EventRecord record = MakeRecord(kSinkBase + sink, 0, EVENT_FLAG_MASK(1) | EVENT_FLAG_MASK(3),
                                    kEchoType, echo, sizeof(echo));
    int32_t result = PostChecked(record, "sink's echo post");
    if (result != POST_OK) Fail("sink %u: echo post on no stream answered %d", sink, result);
  }
  bool keep = (control & kControlKeep & (1u << sink)) != 0;
  uint32_t keepValue = (control & kControlWideKeep) ? 0xFFFFFFFFu : 1u;
  if (control & kControlReleaseInCall) {
    // Given back before the call returns: whatever keep says, nothing is held.
    uint64_t serial = PayloadLedger::Serial(payload);
    EventRecord record = MakeRecord(kSinkBase + sink, 0, EVENT_RELEASE, 0, payload, 0);
    if (PostChecked(record, "release inside the call") != POST_OK) {
      Fail("sink %u: release inside the call did not answer POST_OK", sink);
    }
    RememberReleased(payload, sink, serial);
    return keep ? keepValue : 0;
  }
  if (!keep) return 0;
  counts.kept.fetch_add(1);
  std::lock_guard<std::mutex> hold(lock);
  kept.push_back(Kept{payload, sink, stream, streamKnown, size, Checksum(payload, size)});
  return keepValue;
}

// Event handler thread. A record of the fuzzer's own must arrive as posted,
// once, and after every earlier one.
void Fuzzer::CheckPosted(uint32_t sink, const WriteRequest& request) {
  uint32_t magic;
  memcpy(&magic, request.body, sizeof(magic));
  if (magic != kBodyMagic) return;
  uint64_t number;
  memcpy(&number, request.body + 4, sizeof(number));
  std::lock_guard<std::mutex> hold(lock);
  auto it = posted.find(number);
  if (it == posted.end()) {
    Fail("sink %u received post #%llu, which was refused or belongs to an earlier input", sink,
         static_cast<unsigned long long>(number));
  }
  if (number <= lastSequence[sink]) {
    Fail("sink %u received post #%llu after #%llu", sink, static_cast<unsigned long long>(number),
         static_cast<unsigned long long>(lastSequence[sink]));
  }
  lastSequence[sink] = number;
  const Posted& sent = it->second;
  const EventRecord& record = sent.record;
  if (request.source != record.source || request.stream != record.stream ||
      request.flags != record.flags || request.type != record.type) {
    Fail("sink %u: post #%llu arrived as source 0x%X stream 0x%X flags 0x%X type 0x%X, posted as "
         "0x%X 0x%X 0x%X 0x%X",
         sink, static_cast<unsigned long long>(number), request.source, request.stream,
         request.flags, request.type, record.source, record.stream, record.flags, record.type);
  }
  if (memcmp(request.body, record.body, sizeof(record.body)) != 0) {
    Fail("sink %u: post #%llu arrived with a different body", sink,
         static_cast<unsigned long long>(number));
  }
  uint32_t size = sent.hasPayload ? static_cast<uint32_t>(sent.payload.size()) : 0;
  if (request.payloadSize != size ||
      (size != 0 && memcmp(request.payload, sent.payload.data(), size) != 0)) {
    Fail("sink %u: post #%llu arrived with payload size %u (posted %u) or different bytes", sink,
         static_cast<unsigned long long>(number), request.payloadSize, size);
  }
}

// Event handler thread. A stream carries one payload at a time: when a sink
// is handed a payload on a stream, the one it saw there before must be freed.
void Fuzzer::CheckStreamOrder(uint32_t sink, uint32_t stream, const void* payload) {
  std::lock_guard<std::mutex> hold(lock);
  LastOnStream& last = onStream[std::make_pair(sink, stream)];
  if (last.payload != nullptr && last.serial != 0 && last.payload != payload &&
      PayloadLedger::Serial(last.payload) == last.serial) {
    Fail("sink %u: stream 0x%X hands out %p while its previous payload %p is still alive", sink,
         stream, payload, last.payload);
  }
  last.payload = payload;
  last.serial = payload != nullptr ? PayloadLedger::Serial(payload) : 0;
}

// A producer's Read thread. Posts the frames the start request's payload
// asks for on the stream it is handed.
void Fuzzer::OnRead(uint32_t producer, const ReadRequest& request) {
  readsRunning.fetch_add(1);
  if (request.payload != nullptr && request.payloadSize >= 1) {
    const uint8_t* command = static_cast<const uint8_t*>(request.payload);
    uint32_t frames = command[0];
    if (frames > kMaxFramesPerRead || request.payloadSize < 1 + 3 * frames) frames = 0;
    for (uint32_t n = 0; n < frames; n++) {
      const uint8_t* spec = command + 1 + 3 * n;
      uint32_t flags = spec[0] & 0x3Fu;
      if (spec[0] & 0x40) flags |= EVENT_FLAG_OTHERS;
      if (spec[0] & 0x80) flags |= EVENT_FLAG_ALL;
      uint32_t type = (spec[1] & 1) ? 0x02000001u : static_cast<uint32_t>(spec[1]) << 24 | spec[1];
      uint8_t frame[64] = {};  // first byte 0: nobody keeps a producer's frame
      uint32_t size = spec[2] % sizeof(frame);
      for (uint32_t i = 1; i < size; i++) frame[i] = Pattern(n, i);
      EventRecord record = MakeRecord(kProducerBase + producer, request.stream, flags, type,
                                      size != 0 ? frame : nullptr, size);
      int32_t result = PostChecked(record, "producer's frame");
      counts.frames.fetch_add(1);
      if (result != POST_OK && result != POST_NO_STREAM &&
          !(result == POST_THROTTLED && Metered(record))) {
        Fail("producer %u: frame on stream 0x%X answered %d", producer, request.stream, result);
      }
    }
  }
  readsRunning.fetch_sub(1);
}

Fuzzer* fuzzer = nullptr;  // created at the first input; lives for the process

void StopFuzzerAtExit() { fuzzer->StopAtExit(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  // The framework must be initialised for the Core's file, library and log
  // classes, on this thread, for the whole run.
  static wxInitializer* framework = new wxInitializer();
  if (!framework->IsOk()) Fail("the wxWidgets base library did not initialise");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzzer == nullptr) {
    fuzzer = new Fuzzer();
    fuzzer->Start();
    atexit(StopFuzzerAtExit);
  }
  fuzzer->Run(data, size);
  return 0;
}

// The probe plug-in: records every call, then does what the test's hooks say.
#include "tests/plugins/probe.h"

namespace {

Probe probe;

ProbeCall Begin(int entry, const void* request, size_t requestSize) {
  ProbeCall call;
  call.entry = entry;
  call.thread = std::this_thread::get_id();
  const uint8_t* bytes = static_cast<const uint8_t*>(request);
  call.request.assign(bytes, bytes + requestSize);
  return call;
}

void CapturePayload(ProbeCall* call, const void* payload, uint32_t size) {
  call->payloadPointer = payload;
  call->payloadSize = size;
  if (payload != nullptr) {
    const uint8_t* bytes = static_cast<const uint8_t*>(payload);
    call->payload.assign(bytes, bytes + size);
  }
}

}  // namespace

extern "C" {

PLUGIN_EXPORT Probe* ProbeInstance() { return &probe; }

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  const LoadRequest* load = static_cast<const LoadRequest*>(request);
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  ProbeCall call = Begin(ENTRY_LOAD, request, load->size);
  // The descriptor as the Core handed it over, before the probe fills it.
  const uint8_t* given = static_cast<const uint8_t*>(reply);
  call.payload.assign(given, given + sizeof(PluginDescriptor));
  probe.post = load->postEvent;
  probe.Record(call);
  if (probe.hooks.load) return probe.hooks.load(*load, descriptor);
  uint32_t size = descriptor->size, version = descriptor->version;
  *descriptor = probe.descriptor;
  descriptor->size = size;
  descriptor->version = version;
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)reply;
  probe.Record(Begin(ENTRY_UNLOAD, request, sizeof(UnloadRequest)));
  if (probe.hooks.unload) probe.hooks.unload();
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)reply;
  probe.Record(Begin(ENTRY_OPEN, request, sizeof(OpenRequest)));
  return probe.hooks.open ? probe.hooks.open() : 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)reply;
  probe.Record(Begin(ENTRY_CLOSE, request, sizeof(CloseRequest)));
  if (probe.hooks.close) probe.hooks.close();
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  const ReadRequest* read = static_cast<const ReadRequest*>(request);
  ProbeCall call = Begin(ENTRY_READ, request, sizeof(ReadRequest));
  CapturePayload(&call, read->payload, read->payloadSize);
  call.stream = read->stream;
  probe.Record(call);
  if (probe.hooks.read) probe.hooks.read(*read);
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* write = static_cast<const WriteRequest*>(request);
  ProbeCall call = Begin(ENTRY_WRITE, request, sizeof(WriteRequest));
  CapturePayload(&call, write->payload, write->payloadSize);
  call.source = write->source;
  call.stream = write->stream;
  call.flags = write->flags;
  call.type = write->type;
  probe.Record(call);
  uint32_t keep = probe.hooks.write ? probe.hooks.write(*write) : probe.keepAll.load();
  static_cast<WriteReply*>(reply)->keep = keep;
  return 0;
}

PLUGIN_EXPORT int32_t Seek(void* request, void* reply) {
  (void)reply;
  probe.Record(Begin(ENTRY_SEEK, request, 8));
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  const IoctlRequest* ioctl = static_cast<const IoctlRequest*>(request);
  ProbeCall call = Begin(ENTRY_IOCTL, request, sizeof(IoctlRequest));
  call.code = ioctl->code;
  CapturePayload(&call, ioctl->payload, ioctl->payloadSize);
  probe.Record(call);
  uint32_t keep = probe.hooks.ioctl ? probe.hooks.ioctl(*ioctl) : probe.keepAll.load();
  if (ioctl->code != IOCTL_THREAD) static_cast<IoctlReply*>(reply)->keep = keep;
  return 0;
}

}  // extern "C"

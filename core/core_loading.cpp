// Plug-in discovery and loading.
#include <wx/datetime.h>
#include <wx/dir.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include <algorithm>

#include "core/core.h"
#include "core/plugin_file.h"
#include "core/text_bytes.h"

const char kLoadFailedMessage[] = "plugin %s load returned %d error %d";
const char kDuplicateIdMessage[] = "plugin %s ID 0x%08lX already loaded";

namespace {

const char* const kEntryNames[8] = {"Load", "Unload", "Open", "Close",
                                    "Read", "Write",  "Seek", "IOCTL"};

PluginEntry FindEntry(const wxDynamicLibrary& library, const char* name) {
  // HasSymbol asks without logging a missing name as an error.
  if (!library.HasSymbol(name)) return nullptr;
  return reinterpret_cast<PluginEntry>(library.GetSymbol(name));
}

}  // namespace

bool Core::LoadPlugins() {
  // File names are bytes: whatever the locale, names that are not valid
  // UTF-8 must come out of the directory listing and go back to the loader
  // unchanged.
  wxConvFileName = LosslessConversion();
  wxString directory = executable.GetPath(wxPATH_GET_VOLUME, wxPATH_NATIVE) + "/plugins";
  if (!wxDir::Exists(directory)) return false;
  wxDir dir;
  {
    wxLogNull quiet;  // an unreadable folder is no error of the Core's
    if (!dir.Open(directory)) return false;
  }
  std::vector<uint32_t> accepted;
  wxString name;
  for (bool found = dir.GetFirst(&name, "*.so", wxDIR_FILES); found; found = dir.GetNext(&name)) {
    LoadOne(directory, name, &accepted);
  }
  return true;
}

// Main thread. Loads one library; on success its record joins `plugins`.
bool Core::LoadOne(const wxString& directory, const wxString& name,
                   std::vector<uint32_t>* accepted) {
  wxString path = directory + "/" + name;
  const char* problem = CheckPluginFile(TextBytes(path).data());
  if (problem != nullptr) {
    wxLogError(kPluginSkippedMessage, name, problem);
    return false;
  }
  wxDynamicLibrary* library = new wxDynamicLibrary();
  if (!library->Load(path, wxDL_VERBATIM)) {
    delete library;
    return false;
  }
  PluginRecord record;
  PluginEntry* entries[8] = {&record.load, &record.unload, &record.open,  &record.close,
                             &record.read, &record.write,  &record.seek, &record.ioctl};
  for (int i = 0; i < 8; i++) *entries[i] = FindEntry(*library, kEntryNames[i]);
  if (record.load == nullptr) {
    delete library;  // closes it
    return false;
  }

  auto request = MakePluginBlock<LoadRequest>(2);
  request.core = this;
  request.postEvent = PostEvent;
  auto descriptor = MakePluginBlock<PluginDescriptor>();
  int64_t started = MonotonicMicroseconds();
  wxLongLong before = wxDateTime::UNow().GetValue();
  int32_t result = record.load(&request, &descriptor);
  wxLongLong after = wxDateTime::UNow().GetValue();
  int64_t ended = MonotonicMicroseconds();

  if (result != 0 || descriptor.loadError != 0) {
    wxLogError(kLoadFailedMessage, name, static_cast<int>(result),
               static_cast<int>(descriptor.loadError));
    delete library;
    return false;
  }
  if (std::find(accepted->begin(), accepted->end(), descriptor.id) != accepted->end()) {
    wxLogWarning(kDuplicateIdMessage, name, static_cast<unsigned long>(descriptor.id));
    delete library;
    return false;
  }
  accepted->push_back(descriptor.id);

  record.library = library;
  record.descriptor = descriptor;
  record.fileName = name;
  record.fileNameBytes = TextBytes(name).data();
  record.loadTime = (after - before).GetValue();
  record.loadMicros = ended - started;
  record.calls = new PluginCalls();
  payloadRefs.Register(descriptor.id, &record.calls->counters);

  if (descriptor.ioctlThread != 0 && record.ioctl != nullptr) {
    auto ioctlRequest = MakePluginBlock<IoctlRequest>();
    ioctlRequest.code = IOCTL_THREAD;
    ioctlRequest.paramSize = IOCTL_PARAM_SIZE_THREAD;
    ioctlRequest.paramVersion = 1;
    auto reply = MakePluginBlock<IoctlReply>();
    reply.code = IOCTL_THREAD;
    reply.paramSize = IOCTL_PARAM_SIZE_THREAD;
    reply.paramVersion = 1;
    (void)PluginThread::Launch(this, record.ioctl, ENTRY_IOCTL, &ioctlRequest, sizeof(ioctlRequest),
                               &reply, sizeof(reply), record.calls);
  }

  ScopedLock hold(&pluginsLock);
  if (descriptor.id == PLUGIN_ID_FRONT && !plugins.empty()) {
    plugins.insert(plugins.begin(), record);
  } else {
    plugins.push_back(record);
  }
  return true;
}

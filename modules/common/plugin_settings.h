// PluginSettings: the settings of a plug-in we ship, from one key file beside
// it.
//
// A plug-in X.so reads X.conf from its own folder, in GLib's key-file syntax
// (parsed by GKeyFile; comments are whole lines starting with '#'):
//
//   [source test]                 a group of a kind that takes a NAME
//   pipeline=videotestsrc ! ...
//   [http]                        a group of a kind without one
//   port=8090
//
// The plug-in describes the groups it allows and their keys, with a type and
// a default each, in a small table:
//
//   const std::vector<SettingGroup> kGroups = {
//       {"source", true, {{"pipeline", SettingType::kText, nullptr},
//                         {"live", SettingType::kBoolean, "false"}}},
//   };
//
// and Load checks the file against it:
//   - no file: Status::kNoFile, and one line saying the plug-in is idle;
//   - a malformed file, an unknown group or key, a group or key given twice,
//     a missing key without a default, a value of the wrong type or out of
//     range: Status::kInvalid, with one line for each fault naming the file,
//     the line when it is known, the group, the key and why;
//   - otherwise Status::kLoaded, and one SettingSection per group, in file
//     order, holding every key of its description (given, or the default).
//
// One thread at a time (the plug-in's Open).
#ifndef MODULES_COMMON_PLUGIN_SETTINGS_H_
#define MODULES_COMMON_PLUGIN_SETTINGS_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "modules/common/plugin_log.h"

namespace plugin_common {

enum class SettingType {
  kText,     // any UTF-8 text, with GLib's escapes (\s \n \t \\); required ones not empty
  kBoolean,  // true or false (also 1 or 0)
  kInteger,  // a whole number within [minimum, maximum]
};

struct SettingKey {
  const char* name;
  SettingType type;
  const char* fallback;   // the value when the key is absent, spelled as in the file;
                          // null: the key is required
  long long minimum = 0;  // kInteger only
  long long maximum = 0;
};

struct SettingGroup {
  const char* kind;  // "source" for [source NAME], "http" for [http]
  bool named;        // [kind NAME], any number with distinct names; or [kind], at most once
  std::vector<SettingKey> keys;
};

// One checked group of the file.
class SettingSection {
 public:
  const std::string& Kind() const { return kind_; }
  const std::string& Name() const { return name_; }  // empty for a group without a name
  // The value of a key of the group's description; "", false or 0 for any
  // other name.
  const std::string& Text(const std::string& key) const;
  bool Boolean(const std::string& key) const;
  long long Integer(const std::string& key) const;

 private:
  friend class PluginSettings;
  struct Value {
    std::string text;
    long long number = 0;  // kInteger, or 1 and 0 for kBoolean
  };
  std::string kind_;
  std::string name_;
  std::string group_;  // as the file spells it, for messages
  std::map<std::string, Value> values_;
};

class PluginSettings {
 public:
  enum class Status { kNoFile, kLoaded, kInvalid };

  explicit PluginSettings(const PluginLog& log) : log_(log) {}

  // The settings file of the plug-in library that holds `self` (the address
  // of any function of it): its path with ".so" replaced by ".conf". Empty
  // when the library cannot be found.
  static std::string PathFor(const void* self);

  // Reads and checks `path` against `groups`, logging as described above.
  Status Load(const std::string& path, const std::vector<SettingGroup>& groups);
  // Open's part of the convention, for the library that holds `self`: true
  // when the settings are loaded and name at least one group. Otherwise false,
  // with *openCode what Open answers: 0 for idle (no file, or a file that
  // names nothing, said in one line), 1 for settings it cannot use.
  bool LoadForOpen(const void* self, const std::vector<SettingGroup>& groups, int32_t* openCode);

  // A fault the plug-in finds in a loaded value (a name it cannot use, say):
  // logged like Load's, with the line of the key, and the status becomes
  // kInvalid. `key` may be null for a fault of the group as a whole.
  void Reject(const SettingSection& section, const char* key, const std::string& why);

  Status GetStatus() const { return status_; }
  const std::string& Path() const { return path_; }
  const std::vector<SettingSection>& Sections() const { return sections_; }

 private:
  // Checks one group of the loaded file; false after logging its faults.
  bool CheckGroup(void* keyFile, const char* group, const std::vector<SettingGroup>& groups);
  bool CheckValue(void* keyFile, const SettingKey& key, SettingSection* section);
  // Logs "<path>:<line>: <text>", or "<path>: <text>" when line is 0.
  void Fault(int line, const std::string& text);

  const PluginLog& log_;
  Status status_ = Status::kNoFile;
  std::string path_;
  std::string text_;  // the file's contents, to find the lines of faults
  std::vector<SettingSection> sections_;
};

}  // namespace plugin_common

#endif  // MODULES_COMMON_PLUGIN_SETTINGS_H_

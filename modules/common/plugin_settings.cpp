#include "modules/common/plugin_settings.h"

#include <dlfcn.h>
#include <glib.h>
#include <stdlib.h>

namespace plugin_common {

namespace {

constexpr gsize kLargestFile = 1 << 20;

// Where groups and keys stand in the file, for messages only: GKeyFile does
// the parsing, these only find line numbers, as GKeyFile reads lines
// (leading blanks skipped, a group line "[...]" up to its last ']', a key
// line's key up to its first '=' with trailing blanks dropped).
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The group a line opens, when it opens one.
bool GroupOfLine(const std::string& line, std::string* group) {
  std::string text = Trim(line);
  size_t close = text.rfind(']');
  if (text.empty() || text[0] != '[' || close == std::string::npos) return false;
  *group = text.substr(1, close - 1);
  return true;
}

// The key a line sets, when it sets one.
bool KeyOfLine(const std::string& line, std::string* key) {
  std::string text = Trim(line);
  size_t equals = text.find('=');
  if (text.empty() || text[0] == '#' || text[0] == '[' || equals == std::string::npos) {
    return false;
  }
  *key = Trim(text.substr(0, equals));
  return true;
}

// 1-based numbers of the lines that open `group`, or with `key`, that set
// `key` inside it.
std::vector<int> LinesOf(const std::string& text, const std::string& group,
                         const char* key = nullptr) {
  std::vector<int> found;
  std::vector<std::string> lines = SplitLines(text);
  std::string current;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); i++) {
    std::string name;
    if (GroupOfLine(lines[i], &name)) {
      inside = name == group;
      if (inside && key == nullptr) found.push_back(static_cast<int>(i) + 1);
    } else if (inside && key != nullptr && KeyOfLine(lines[i], &name) && name == key) {
      found.push_back(static_cast<int>(i) + 1);
    }
  }
  return found;
}

int FirstLineOf(const std::string& text, const std::string& group, const char* key = nullptr) {
  std::vector<int> lines = LinesOf(text, group, key);
  return lines.empty() ? 0 : lines[0];
}

// The line at which GKeyFile stops reading `text`: the first k for which the
// first k lines alone fail to parse. 0 when none does on its own.
int ParseErrorLine(const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() > 10000) return 0;
  std::string prefix;
  for (size_t i = 0; i < lines.size(); i++) {
    prefix += lines[i] + "\n";
    GKeyFile* file = g_key_file_new();
    bool parsed =
        g_key_file_load_from_data(file, prefix.data(), prefix.size(), G_KEY_FILE_NONE, nullptr);
    g_key_file_free(file);
    if (!parsed) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string Joined(const std::vector<std::string>& names) {
  std::string all;
  for (const std::string& name : names) all += (all.empty() ? "" : ", ") + name;
  return all;
}

// "[source NAME], [http]": what a plug-in takes, for messages.
std::string GroupList(const std::vector<SettingGroup>& groups) {
  std::vector<std::string> names;
  for (const SettingGroup& group : groups) {
    names.push_back(std::string("[") + group.kind + (group.named ? " NAME]" : "]"));
  }
  return Joined(names);
}

std::string KeyList(const SettingGroup& group) {
  std::vector<std::string> names;
  for (const SettingKey& key : group.keys) names.push_back(key.name);
  return Joined(names);
}

}  // namespace

const std::string& SettingSection::Text(const std::string& key) const {
  static const std::string kNone;
  auto found = values_.find(key);
  return found == values_.end() ? kNone : found->second.text;
}

bool SettingSection::Boolean(const std::string& key) const { return Integer(key) != 0; }

long long SettingSection::Integer(const std::string& key) const {
  auto found = values_.find(key);
  return found == values_.end() ? 0 : found->second.number;
}

std::string PluginSettings::PathFor(const void* self) {
  Dl_info info;
  if (dladdr(self, &info) == 0 || info.dli_fname == nullptr) return std::string();
  std::string path = info.dli_fname;
  if (path.size() > 3 && path.compare(path.size() - 3, 3, ".so") == 0) {
    path.resize(path.size() - 3);
  }
  return path + ".conf";
}

PluginSettings::Status PluginSettings::Load(const std::string& path,
                                            const std::vector<SettingGroup>& groups) {
  path_ = path;
  text_.clear();
  sections_.clear();
  gchar* contents = nullptr;
  gsize length = 0;
  GError* error = nullptr;
  if (!g_file_get_contents(path.c_str(), &contents, &length, &error)) {
    if (error->domain == G_FILE_ERROR && error->code == G_FILE_ERROR_NOENT) {
      log_.Info("no settings file %s; idle", path.c_str());
      status_ = Status::kNoFile;
    } else {
      status_ = Status::kInvalid;
      Fault(0, error->message);
    }
    g_error_free(error);
    return status_;
  }
  text_.assign(contents, length);
  g_free(contents);
  status_ = Status::kLoaded;
  if (length > kLargestFile) {
    Fault(0, "larger than 1 MiB; not a settings file");
    return status_;
  }

  GKeyFile* file = g_key_file_new();
  // Translations kept: a key such as "pipeline[de]" is then seen, and refused,
  // rather than dropped without a word.
  if (!g_key_file_load_from_data(file, text_.data(), text_.size(), G_KEY_FILE_KEEP_TRANSLATIONS,
                                 &error)) {
    Fault(ParseErrorLine(text_), error->message);
    g_error_free(error);
  } else {
    gchar** names = g_key_file_get_groups(file, nullptr);
    for (gchar** name = names; *name != nullptr; name++) (void)CheckGroup(file, *name, groups);
    g_strfreev(names);
  }
  g_key_file_free(file);
  if (status_ == Status::kInvalid) sections_.clear();
  return status_;
}

bool PluginSettings::LoadForOpen(const void* self, const std::vector<SettingGroup>& groups,
                                 int32_t* openCode) {
  Status status = Load(PathFor(self), groups);
  *openCode = status == Status::kInvalid ? 1 : 0;
  if (status == Status::kLoaded && sections_.empty()) {
    log_.Info("%s names nothing; idle", path_.c_str());
  }
  return status == Status::kLoaded && !sections_.empty();
}

bool PluginSettings::CheckGroup(void* keyFile, const char* group,
                                const std::vector<SettingGroup>& groups) {
  GKeyFile* file = static_cast<GKeyFile*>(keyFile);
  std::string shown = std::string("[") + group + "]";
  std::vector<int> groupLines = LinesOf(text_, group);
  int line = groupLines.empty() ? 0 : groupLines[0];
  SettingSection section;
  section.group_ = group;
  std::string spelled = group;
  size_t space = spelled.find(' ');
  section.kind_ = spelled.substr(0, space);
  section.name_ = space == std::string::npos ? std::string() : Trim(spelled.substr(space + 1));

  const SettingGroup* description = nullptr;
  for (const SettingGroup& candidate : groups) {
    if (section.kind_ == candidate.kind) description = &candidate;
  }
  if (description == nullptr) {
    Fault(line, "unknown group " + shown + "; this plug-in takes " + GroupList(groups));
    return false;
  }
  if (description->named && section.name_.empty()) {
    Fault(line, shown + " needs a name: [" + section.kind_ + " NAME]");
    return false;
  }
  if (!description->named && !section.name_.empty()) {
    Fault(line, shown + ": [" + section.kind_ + "] takes no name");
    return false;
  }
  if (groupLines.size() > 1) {
    Fault(groupLines[1], shown + " given again (first at line " + std::to_string(line) + ")");
    return false;
  }
  for (const SettingSection& earlier : sections_) {
    if (earlier.kind_ == section.kind_ && earlier.name_ == section.name_) {
      Fault(line, shown + " has the same name as [" + earlier.group_ + "]");
      return false;
    }
  }

  bool good = true;
  gchar** keys = g_key_file_get_keys(file, group, nullptr, nullptr);
  for (gchar** key = keys; keys != nullptr && *key != nullptr; key++) {
    bool known = false;
    for (const SettingKey& candidate : description->keys)
      known |= *key == std::string(candidate.name);
    std::vector<int> keyLines = LinesOf(text_, group, *key);
    int keyLine = keyLines.empty() ? 0 : keyLines[0];
    if (!known) {
      Fault(keyLine, shown + ": unknown key " + Quoted(*key) + "; " + shown + " takes " +
                         KeyList(*description));
      good = false;
    } else if (keyLines.size() > 1) {
      Fault(keyLines[1],
            shown + " " + *key + ": given again (first at line " + std::to_string(keyLine) + ")");
      good = false;
    }
  }
  g_strfreev(keys);
  for (const SettingKey& key : description->keys) {
    if (g_key_file_has_key(file, group, key.name, nullptr)) {
      good &= CheckValue(file, key, &section);
    } else if (key.fallback != nullptr) {
      SettingSection::Value& value = section.values_[key.name];
      value.text = key.fallback;
      value.number = key.type == SettingType::kBoolean ? value.text == "true"
                                                       : strtoll(key.fallback, nullptr, 10);
    } else {
      Fault(line, shown + ": missing key " + Quoted(key.name));
      good = false;
    }
  }
  if (good) sections_.push_back(section);
  return good;
}

bool PluginSettings::CheckValue(void* keyFile, const SettingKey& key, SettingSection* section) {
  GKeyFile* file = static_cast<GKeyFile*>(keyFile);
  const char* group = section->group_.c_str();
  int line = FirstLineOf(text_, group, key.name);
  std::string shown = "[" + section->group_ + "] " + key.name + ": ";
  gchar* raw = g_key_file_get_value(file, group, key.name, nullptr);
  std::string given = raw != nullptr ? raw : "";
  g_free(raw);
  SettingSection::Value value;
  GError* error = nullptr;
  std::string why;
  if (key.type == SettingType::kText) {
    gchar* text = g_key_file_get_string(file, group, key.name, &error);
    if (text != nullptr) value.text = text;
    g_free(text);
    if (error != nullptr) {
      why = error->message;
    } else if (key.fallback == nullptr && value.text.empty()) {
      why = "empty";
    }
  } else if (key.type == SettingType::kBoolean) {
    value.number = g_key_file_get_boolean(file, group, key.name, &error) ? 1 : 0;
    value.text = value.number != 0 ? "true" : "false";
    if (error != nullptr) why = "expected true or false, not " + Quoted(given);
  } else {
    value.number = g_key_file_get_int64(file, group, key.name, &error);
    value.text = std::to_string(value.number);
    if (error != nullptr) {
      why = "expected a whole number, not " + Quoted(given);
    } else if (value.number < key.minimum || value.number > key.maximum) {
      why = "expected a number from " + std::to_string(key.minimum) + " to " +
            std::to_string(key.maximum) + ", not " + given;
    }
  }
  if (error != nullptr) g_error_free(error);
  if (!why.empty()) {
    Fault(line, shown + why);
    return false;
  }
  section->values_[key.name] = value;
  return true;
}

void PluginSettings::Reject(const SettingSection& section, const char* key,
                            const std::string& why) {
  int line = FirstLineOf(text_, section.group_, key);
  if (line == 0) line = FirstLineOf(text_, section.group_);
  std::string shown = "[" + section.group_ + "]" + (key != nullptr ? std::string(" ") + key : "");
  Fault(line, shown + ": " + why);
}

void PluginSettings::Fault(int line, const std::string& text) {
  status_ = Status::kInvalid;
  std::string where = path_ + (line > 0 ? ":" + std::to_string(line) : std::string());
  log_.Error("%s: %s", where.c_str(), text.c_str());
}

}  // namespace plugin_common

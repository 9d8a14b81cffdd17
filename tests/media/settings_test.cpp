// The settings convention of the plug-ins we ship (modules/common): a key
// file beside the plug-in, checked against the plug-in's table of groups and
// keys, every fault reported with its file, line, group, key and reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "modules/common/plugin_settings.h"
#include "tests/support/test_support.h"

namespace {

using plugin_common::PluginLog;
using plugin_common::PluginSettings;
using plugin_common::SettingType;

const std::vector<plugin_common::SettingGroup> kGroups = {
    {"source",
     true,
     {{"pipeline", SettingType::kText, nullptr}, {"live", SettingType::kBoolean, "false"}}},
    {"http",
     false,
     {{"port", SettingType::kInteger, "8090", 1, 65535}, {"token", SettingType::kText, ""}}},
};

class SettingsTest : public testing::Test {
 protected:
  // Loads `text` as the file, with standard error caught in `log`.
  PluginSettings::Status Load(const std::string& text) {
    path = tree.Root() + "/x.conf";
    tree.WriteFile(path, text);
    return LoadPath();
  }

  PluginSettings::Status LoadPath() {
    std::string caught = tree.Root() + "/stderr";
    int saved = dup(STDERR_FILENO);
    int file = open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, STDERR_FILENO);
    close(file);
    PluginSettings::Status status = settings.Load(path, kGroups);
    dup2(saved, STDERR_FILENO);
    close(saved);
    log = testing_support::ReadFile(caught);
    return status;
  }

  testing_support::TempTree tree;
  PluginLog pluginLog{"x"};
  PluginSettings settings{pluginLog};
  std::string path;
  std::string log;
};

TEST_F(SettingsTest, NoFileMeansIdle) {
  path = tree.Root() + "/missing.conf";
  EXPECT_EQ(LoadPath(), PluginSettings::Status::kNoFile);
  EXPECT_EQ(log, "x: no settings file " + path + "; idle\n");
}

TEST_F(SettingsTest, GroupsInFileOrderWithDefaults) {
  ASSERT_EQ(Load("# cameras\n[source b]\npipeline = v4l2src ! x\\sy\n\n"
                 "[http]\nport=80\n[source a]\nlive=true\npipeline=filesrc\n"),
            PluginSettings::Status::kLoaded)
      << log;
  EXPECT_EQ(log, "");
  const std::vector<plugin_common::SettingSection>& sections = settings.Sections();
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[0].Kind() + "/" + sections[0].Name(), "source/b");
  EXPECT_EQ(sections[0].Text("pipeline"), "v4l2src ! x y");  // GLib's escapes
  EXPECT_FALSE(sections[0].Boolean("live"));
  EXPECT_EQ(sections[1].Kind() + "/" + sections[1].Name(), "http/");
  EXPECT_EQ(sections[1].Integer("port"), 80);
  EXPECT_EQ(sections[1].Text("token"), "");
  EXPECT_TRUE(sections[2].Boolean("live"));
}

TEST_F(SettingsTest, EachFaultNamesFileLineGroupKeyAndWhy) {
  struct Case {
    const char* text;
    const char* line;  // what follows "x: error: <path>"
  };
  const Case kCases[] = {
      {"[source a]\npipeline=x\nnot a key\n", ":3: Key file contains line"},
      {"pipeline=x\n", ":1: Key file does not start with a group"},
      {"[source a]\npipeline=x\n[sauce b]\n",
       ":3: unknown group [sauce b]; this plug-in takes [source NAME], [http]"},
      {"[source]\npipeline=x\n", ":1: [source] needs a name: [source NAME]"},
      {"[http main]\n", ":1: [http main]: [http] takes no name"},
      {"[source a]\npipeline=x\ncolour=red\n",
       ":3: [source a]: unknown key 'colour'; [source a] takes pipeline, live"},
      {"[source a]\npipeline=x\nlive=yes\n",
       ":3: [source a] live: expected true or false, not 'yes'"},
      {"[source a]\nlive=true\n", ":1: [source a]: missing key 'pipeline'"},
      {"[source a]\npipeline=\n", ":2: [source a] pipeline: empty"},
      {"[http]\nport=0x50\n", ":2: [http] port: expected a whole number, not '0x50'"},
      {"[http]\nport=70000\n", ":2: [http] port: expected a number from 1 to 65535, not 70000"},
      {"[source a]\npipeline=x\n[source a]\nlive=true\n",
       ":3: [source a] given again (first at line 1)"},
      {"[source a]\npipeline=x\npipeline=y\n",
       ":3: [source a] pipeline: given again (first at line 2)"},
      {"[source a]\npipeline=x\n[source  a]\npipeline=y\n",
       ":3: [source  a] has the same name as [source a]"},
      {"[source a]\npipeline=x\nlive[de]=true\n", ":3: [source a]: unknown key 'live[de]'"},
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.text);
    EXPECT_EQ(Load(test.text), PluginSettings::Status::kInvalid);
    EXPECT_EQ(log.compare(0, std::string("x: error: ").size() + path.size() + strlen(test.line),
                          "x: error: " + path + test.line),
              0)
        << log;
    EXPECT_TRUE(settings.Sections().empty());
  }
}

TEST_F(SettingsTest, FaultsFoundByThePluginAreReportedTheSameWay) {
  ASSERT_EQ(Load("[source a]\npipeline=x\n\nlive=true\n"), PluginSettings::Status::kLoaded);
  settings.Reject(settings.Sections()[0], "live", "cannot be live here");
  EXPECT_EQ(settings.GetStatus(), PluginSettings::Status::kInvalid);
}

}  // namespace

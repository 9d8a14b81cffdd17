// The module status document: which modules are present, posted once per
// start to every plug-in.
#include <stdio.h>

#include <tinyxml.h>

#include "core/core.h"
#include "core/text_bytes.h"

namespace {

std::string Decimal(int32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "%d", value);
  return text;
}

}  // namespace

std::string Core::BuildModuleStatus() {
  const std::string coreId = Decimal(static_cast<int32_t>(SOURCE_CORE));

  TiXmlElement corePlugin("Plugin");
  corePlugin.SetAttribute("Filename", TextBytes(executable.GetFullName()).data());
  corePlugin.SetAttribute("Opened", "1");
  corePlugin.SetAttribute("OpenCode", "0");
  corePlugin.SetAttribute("ID", coreId);
  TiXmlElement module("Module");
  module.SetAttribute("Name", "Core");
  module.SetAttribute("Version", kCoreVersion);
  module.SetAttribute("ID", coreId);
  module.InsertEndChild(corePlugin);
  TiXmlElement modules("Modules");
  modules.InsertEndChild(module);
  TiXmlElement root("Vesk");
  root.SetAttribute("Delta", "0");
  root.InsertEndChild(modules);

  TiXmlDocument document;
  document.InsertEndChild(TiXmlDeclaration("", "", ""));
  document.InsertEndChild(root);

  TiXmlElement* list = document.FirstChildElement("Vesk")->FirstChildElement("Modules")
                           ->FirstChildElement("Module");
  for (const PluginRecord& record : plugins) {
    TiXmlElement plugin("Plugin");
    plugin.SetAttribute("Filename", record.fileNameBytes);
    plugin.SetAttribute("Opened", "1");
    plugin.SetAttribute("OpenCode", Decimal(record.openCode));
    plugin.SetAttribute("LoadTime", Decimal(static_cast<int32_t>(record.loadTime)));
    plugin.SetAttribute("OpenTime", Decimal(static_cast<int32_t>(record.openTime)));
    plugin.SetAttribute("ID", Decimal(static_cast<int32_t>(record.descriptor.id)));
    list->InsertEndChild(plugin);
  }

  TiXmlPrinter printer;
  printer.SetStreamPrinting();
  document.Accept(&printer);
  return printer.Str();
}

bool Core::PublishModuleStatus() {
  PostFromCore(BuildModuleStatus(), EVENT_FLAG_OTHERS, TYPE_MODULE_STATUS);
  return true;
}

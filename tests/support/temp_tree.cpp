#include "tests/support/temp_tree.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

namespace testing_support {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

void RemoveTree(const std::string& path) {
  // Depth first; a leftover in /tmp harms nobody.
  (void)nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

TempTree::TempTree(Layout layout) {
  char pattern[] = "/tmp/ombrevard-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    root_ = "/tmp/ombrevard-test-failed";  // never made, never removed
    return;
  }
  root_ = made;
  made_ = true;
  ok_ = layout == kEmpty ||
        (mkdir(BinDir().c_str(), 0755) == 0 && mkdir(PluginDir().c_str(), 0755) == 0);
}

TempTree::~TempTree() {
  if (made_) RemoveTree(root_);
}

std::string TempTree::AddPlugin(const std::string& source, const std::string& name) const {
  std::string target = PluginDir() + "/" + name;
  std::ifstream in(source, std::ios::binary);
  std::ofstream out(target, std::ios::binary);
  out << in.rdbuf();
  out.close();
  return in.good() && out.good() ? target : "";
}

std::string TempTree::WriteFile(const std::string& path, const std::string& content) const {
  std::ofstream out(path, std::ios::binary);
  out << content;
  return path;
}

void TempTree::RemovePluginDir() const { RemoveTree(PluginDir()); }

}  // namespace testing_support

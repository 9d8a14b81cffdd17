// TempTree: a scratch folder under /tmp, removed with the object. Laid out
// for a server by default: <root>/bin/ombrevard is the executable path handed
// to the Core (nothing is put there), <root>/bin/plugins the folder it loads
// from. Used by the tests and the benchmark; one thread at a time.
#ifndef TESTS_SUPPORT_TEMP_TREE_H_
#define TESTS_SUPPORT_TEMP_TREE_H_

#include <string>

namespace testing_support {

class TempTree {
 public:
  enum Layout { kServer, kEmpty };
  explicit TempTree(Layout layout = kServer);
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // False when the folder (or its layout) could not be made.
  bool Ok() const { return ok_; }
  const std::string& Root() const { return root_; }
  std::string BinDir() const { return root_ + "/bin"; }
  std::string PluginDir() const { return root_ + "/bin/plugins"; }
  std::string ExecutablePath() const { return root_ + "/bin/ombrevard"; }

  // Copies the file `source` into the plug-in folder as `name`; returns the
  // new path, or "" when the copy failed.
  std::string AddPlugin(const std::string& source, const std::string& name) const;
  // Writes a file with the given content; returns its path.
  std::string WriteFile(const std::string& path, const std::string& content) const;
  void RemovePluginDir() const;

 private:
  std::string root_;
  bool made_ = false;
  bool ok_ = false;
};

// Removes a folder and everything below it, without following links.
void RemoveTree(const std::string& path);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TEMP_TREE_H_

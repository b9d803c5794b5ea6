// The options of one preparation of a USB stick, and the run itself.
#pragma once

#include <string>
#include <vector>

namespace corvantix {

class Process {
public:
  /// Folders whose trees are copied onto the stick last, in this order.
  std::vector<std::string> copy_directories;

  bool backup() const { return backup_; }
  void backup(bool on) { backup_ = on; }
  bool fdos() const { return fdos_; }
  void fdos(bool on) { fdos_ = on; }
  bool format() const { return format_; }
  void format(bool on) { format_ = on; }

  /// Appends `path` unchecked; the same folder may be added twice.
  void add_copy_directory(const std::string &path) {
    copy_directories.push_back(path);
  }

private:
  bool backup_ = true;
  bool fdos_ = true;
  bool format_ = true;
};

} // namespace corvantix

// A file system for tests: passes every call to the platform's own, logs
// the calls, makes chosen calls fail with a Win32 error code, and can stand
// in a test folder for the temporary folder and script the random bytes.
#pragma once

#include "platform/filesystem.h"

#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::test {

class FaultFileSystem : public platform::FileSystem {
public:
  struct Call {
    std::string operation;
    std::string path;
    std::string target; ///< copy_file's destination
  };

  std::vector<Call> calls;
  std::vector<std::size_t> writes;          ///< sizes handed to write()
  std::string temp;                         ///< the temporary folder, if set
  std::deque<std::vector<unsigned char>> random; ///< scripted random bytes
  std::optional<bool> ready;                ///< volume_ready's answer, if set
  std::function<void(std::size_t)> on_write; ///< runs inside each write
  std::function<std::size_t(std::size_t)> taken; ///< bytes a write takes
  /// Runs as each call begins, with its operation and first path.
  std::function<void(const std::string &, const std::string &)> on_call;

  /// The `skip`+1-th later call of `operation` fails with `code`.
  void fail(const std::string &operation, std::uint32_t code, int skip = 0) {
    faults_[operation].push_back({code, skip});
  }

  std::size_t count(const std::string &operation) const {
    std::size_t n = 0;
    for (const Call &call : calls)
      n += call.operation == operation;
    return n;
  }

  std::string full_path(const std::string &path) override {
    return inner_.full_path(path);
  }
  std::string join(const std::string &folder,
                   const std::string &name) override {
    return inner_.join(folder, name);
  }
  std::string temp_folder() override {
    enter("temp_folder", "");
    return temp.empty() ? inner_.temp_folder() : temp;
  }
  std::string private_folder(const std::string &folder) override {
    enter("private_folder", folder);
    return inner_.private_folder(folder);
  }
  platform::TreeListing list_tree(const std::string &folder) override {
    enter("list_tree", folder);
    return inner_.list_tree(folder);
  }
  bool folder_empty(const std::string &folder) override {
    enter("folder_empty", folder);
    return inner_.folder_empty(folder);
  }
  void create_folders(const std::string &folder) override {
    enter("create_folders", folder);
    inner_.create_folders(folder);
  }
  bool create_new_folder(const std::string &folder) override {
    enter("create_new_folder", folder);
    return inner_.create_new_folder(folder);
  }
  void copy_file(const std::string &from, const std::string &to) override {
    enter("copy_file", from, to);
    inner_.copy_file(from, to);
  }
  /// A copy to or from a drive goes to the platform's own tree copy, unless
  /// a fault waits in one of the single calls that make up a tree copy:
  /// then it is made of those calls, so that the fault hits where it would.
  void copy_tree(const std::string &from, const std::string &to,
                 const platform::CopyProgress &progress = nullptr) override {
    bool drive = is_drive(from) || is_drive(to);
    if (!drive || pending("list_tree") || pending("create_folders") ||
        pending("copy_file"))
      return platform::FileSystem::copy_tree(from, to, progress);
    enter("copy_tree", from, to);
    inner_.copy_tree(from, to, progress);
  }
  std::optional<std::string> entry_name(const std::string &path) override {
    return inner_.entry_name(path);
  }
  void rename(const std::string &from, const std::string &to) override {
    enter("rename", from, to);
    inner_.rename(from, to);
  }
  void verify_tree(const std::string &from, const std::string &to,
                   const platform::CopyProgress &progress = nullptr) override {
    enter("verify_tree", from, to);
    inner_.verify_tree(from, to, progress);
  }
  std::uint64_t tree_bytes(const std::string &folder) override {
    enter("tree_bytes", folder);
    return inner_.tree_bytes(folder);
  }
  std::uint32_t attributes(const std::string &path) override {
    return inner_.attributes(path);
  }
  void set_attributes(const std::string &path,
                      std::uint32_t attributes) override {
    enter("set_attributes", path);
    inner_.set_attributes(path, attributes);
  }
  void delete_tree(const std::string &folder) override {
    enter("delete_tree", folder);
    inner_.delete_tree(folder);
  }
  std::unique_ptr<platform::WritableFile>
  create_file(const std::string &path) override {
    enter("create_file", path);
    return std::make_unique<File>(*this, inner_.create_file(path), path);
  }
  void random_bytes(void *buffer, std::size_t size) override {
    enter("random_bytes", "");
    if (random.empty())
      return inner_.random_bytes(buffer, size);
    std::vector<unsigned char> bytes = random.front();
    random.pop_front();
    bytes.resize(size);
    std::copy(bytes.begin(), bytes.end(), static_cast<unsigned char *>(buffer));
  }
  bool volume_ready(const std::string &root) override {
    enter("volume_ready", root);
    return ready ? *ready : inner_.volume_ready(root);
  }
  bool volume_in_use(const std::string &root) override {
    enter("volume_in_use", root);
    return inner_.volume_in_use(root);
  }
  std::string volume_user(const std::string &root) override {
    return inner_.volume_user(root);
  }
  std::string volume_holder(const std::string &root) override {
    return inner_.volume_holder(root);
  }
  void end_volume_use(const std::string &root, bool changed) override {
    inner_.end_volume_use(root, changed);
  }

private:
  struct Fault {
    std::uint32_t code;
    int skip;
  };

  class File : public platform::WritableFile {
  public:
    File(FaultFileSystem &owner, std::unique_ptr<platform::WritableFile> inner,
         std::string path)
        : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}
    std::size_t write(const char *data, std::size_t size) override {
      owner_.writes.push_back(size);
      if (owner_.on_write)
        owner_.on_write(size);
      owner_.enter("write", path_);
      std::size_t take = owner_.taken ? owner_.taken(size) : size;
      return inner_->write(data, take);
    }
    void flush() override {
      owner_.enter("flush", path_);
      inner_->flush();
    }

  private:
    FaultFileSystem &owner_;
    std::unique_ptr<platform::WritableFile> inner_;
    std::string path_;
  };

  // A path on a stick: a drive path on another drive than the temporary
  // folder's, since on Windows the test folders have drive letters too.
  bool is_drive(const std::string &path) {
    auto letter = [](const std::string &p) {
      return p.size() >= 2 && p[1] == ':' ? char(std::toupper(p[0])) : '\0';
    };
    return letter(path) && letter(path) != letter(inner_.temp_folder());
  }

  bool pending(const std::string &operation) const {
    auto found = faults_.find(operation);
    return found != faults_.end() && !found->second.empty();
  }

  void enter(const std::string &operation, const std::string &path,
             const std::string &target = "") {
    calls.push_back({operation, path, target});
    if (on_call)
      on_call(operation, path);
    auto found = faults_.find(operation);
    if (found == faults_.end() || found->second.empty())
      return;
    Fault &fault = found->second.front();
    if (fault.skip-- > 0)
      return;
    std::uint32_t code = fault.code;
    found->second.erase(found->second.begin());
    throw platform::FileError(code, path);
  }

  platform::FileSystem &inner_ = platform::native_file_system();
  std::map<std::string, std::vector<Fault>> faults_;
};

} // namespace corvantix::test

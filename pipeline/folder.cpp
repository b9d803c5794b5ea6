#include "pipeline/folder.h"

#include "platform/filesystem.h"
#include "strings/error.h"
#include "strings/res.h"

namespace corvantix {
namespace {

using platform::file_system;

// Eight characters, a dot and three, of lower-case letters and digits.
// Bytes that would favour the first characters of the alphabet are drawn
// again.
std::string random_short_name() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kSize = sizeof kAlphabet - 1;
  constexpr unsigned kLimit = 256 / kSize * kSize;
  std::string name;
  unsigned char bytes[16];
  while (name.size() < 12) {
    file_system().random_bytes(bytes, sizeof bytes);
    for (unsigned char byte : bytes) {
      if (byte >= kLimit || name.size() == 12)
        continue;
      if (name.size() == 8)
        name += '.';
      name += kAlphabet[byte % kSize];
    }
  }
  return name;
}

} // namespace

Folder::Folder(const std::string &path)
    : path_(file_system().full_path(path)) {}

void Folder::copy(const std::string &dst,
                  const platform::CopyProgress &progress) const {
  file_system().copy_tree(path_, dst, progress);
}

void Folder::verify(const std::string &dst,
                    const platform::CopyProgress &progress) const {
  file_system().verify_tree(path_, dst, progress);
}

std::uint64_t Folder::bytes() const { return file_system().tree_bytes(path_); }

// The copies in a backup keep the stick's read-only, hidden and system
// attributes, which would stop the deletion.
void Folder::remove() const {
  platform::FileSystem &fs = file_system();
  fs.set_attributes(path_, platform::kAttributeNormal);
  platform::TreeListing tree = fs.list_tree(path_);
  for (const std::string &file : tree.files)
    fs.set_attributes(file, platform::kAttributeNormal);
  for (const std::string &folder : tree.folders)
    fs.set_attributes(folder, platform::kAttributeNormal);
  fs.delete_tree(path_);
}

void Folder::create() const { file_system().create_folders(path_); }

bool Folder::empty() const { return file_system().folder_empty(path_); }

std::optional<Folder>
Folder::relative(std::int32_t i,
                 const std::optional<std::string> &subpath) const {
  if (!subpath)
    return std::nullopt;
  return Folder(file_system().join(path_, std::to_string(i) + "_" + *subpath));
}

Folder Folder::temp_name(const std::string &path) {
  try {
    platform::FileSystem &fs = file_system();
    std::string parent = fs.private_folder(fs.join(fs.temp_folder(), path));
    return Folder(fs.join(parent, random_short_name()));
  } catch (...) {
    throw Error(Res::get("TEMP_ERR_CREATE"), std::current_exception());
  }
}

bool Folder::create_new() const {
  try {
    return file_system().create_new_folder(path_);
  } catch (...) {
    throw Error(Res::get("TEMP_ERR_CREATE"), std::current_exception());
  }
}

// The name is taken only by a creation that finds it free, so a folder
// that existed before the call is never returned.
Folder Folder::create_temp(const std::string &path) {
  constexpr int kAttempts = 1000;
  std::optional<Folder> candidate;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    candidate = temp_name(path);
    if (candidate->create_new())
      return *candidate;
  }
  throw Error(Res::get("TEMP_ERR_CREATE"),
              std::make_exception_ptr( // ERROR_ALREADY_EXISTS
                  platform::FileError(183, candidate->path())));
}

} // namespace corvantix

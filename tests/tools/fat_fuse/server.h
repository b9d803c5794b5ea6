// The state and helpers shared by the FUSE server's calls
// (tests/tools/fat_fuse/main.cpp says what the server is).
#pragma once
#define FUSE_USE_VERSION 31

#include "disk/fat/volume.h"

#include <fuse.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvantix::fat_fuse {

/// A file open for writing, shared by all of its handles.
struct OpenFile {
  std::vector<char> bytes;
  std::uint8_t attributes = fat::kArchive;
  fat::DosTime written;
  bool dirty = false;
  int handles = 0;
};

struct Server {
  std::unique_ptr<fat::BlockIo> io;
  std::unique_ptr<fat::FatVolume> volume;
  std::map<std::string, std::shared_ptr<OpenFile>> open; ///< by path
};

Server &server();
/// The library's path for a FUSE path: no leading '/'.
std::string_view inner(const char *path);
/// The negative errno of a Win32 code (0 for 0).
int errno_of(std::uint32_t code);
/// Puts every change on the medium; the code of the first failure.
int settle(std::uint32_t code);
/// The entry at `path`; the root is a folder without name.
int find(const char *path, fat::DirEntry &entry);
/// The file at `path` while a handle may write to it, else null.
std::shared_ptr<OpenFile> open_file(const char *path);
int read_whole(const char *path, std::vector<char> &bytes);
/// Writes a held file to the volume, whole.
int write_back(const char *path, OpenFile &file);

/// The calls on entries: attributes, folders, names, times, free space.
void add_entry_calls(fuse_operations &ops);
/// The calls on a file's contents.
void add_file_calls(fuse_operations &ops);

} // namespace corvantix::fat_fuse

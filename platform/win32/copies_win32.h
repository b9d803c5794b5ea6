// The transfers of the Windows file system that go past the plain calls:
// reading a copy back from its medium, putting writes on the medium, and
// the times that a copy keeps.
#pragma once

#include <windows.h>

#include <string>

namespace corvantix::platform::win32_copies {

/// Page-aligned memory, as unbuffered reads need it.
class AlignedBuffer {
public:
  explicit AlignedBuffer(DWORD size);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer &) = delete;
  AlignedBuffer &operator=(const AlignedBuffer &) = delete;
  char *data() const { return data_; }
  DWORD size() const { return size_; }

private:
  DWORD size_;
  char *data_;
};

/// Whether the copy `target`, read unbuffered from its medium, holds the
/// bytes of `source`.
bool same_bytes(const std::string &source, const std::string &target,
                const AlignedBuffer &expected, const AlignedBuffer &found);

/// Puts every write to the volume that holds `folder` on its medium; false
/// when the volume cannot be flushed as a whole, and each file must be.
bool flush_volume_of(const std::string &folder);
void flush_file(const std::string &file);

/// Gives `to` the creation time of `from` and, for a folder, the write
/// time too.
void keep_times(const std::string &from, const std::string &to, bool folder);

} // namespace corvantix::platform::win32_copies

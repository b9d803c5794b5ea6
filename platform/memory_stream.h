// A read-only std::istream over bytes that live as long as the program.
#pragma once

#include <cstddef>
#include <istream>
#include <streambuf>

namespace corvantix::platform {

class MemoryStreamBuf : public std::streambuf {
public:
  MemoryStreamBuf(const unsigned char *data, std::size_t size) {
    char *begin = const_cast<char *>(reinterpret_cast<const char *>(data));
    setg(begin, begin, begin + size);
  }

protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode) override {
    char *target = dir == std::ios_base::beg   ? eback() + off
                   : dir == std::ios_base::cur ? gptr() + off
                                               : egptr() + off;
    if (target < eback() || target > egptr())
      return pos_type(off_type(-1));
    setg(eback(), target, egptr());
    return pos_type(target - eback());
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override {
    return seekoff(off_type(pos), std::ios_base::beg, mode);
  }
};

class MemoryStream : public std::istream {
public:
  MemoryStream(const unsigned char *data, std::size_t size)
      : std::istream(nullptr), buffer_(data, size) {
    rdbuf(&buffer_);
  }

private:
  MemoryStreamBuf buffer_;
};

} // namespace corvantix::platform

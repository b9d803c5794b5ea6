#include "pipeline/resource_file.h"
#include "platform/resources.h"
#include "strings/error.h"
#include "strings/res.h"
#include "unit/fault_file_system.h"
#include "unit/scratch.h"
#include "unit/test_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

using namespace corvantix;
namespace stdfs = std::filesystem;

namespace {

const std::string kConfigSys = "shell=\\command.com /e:8192 /p\r\n"
                               "switches=/f\r\n"
                               "files=30\r\n"
                               "lastdrive=z\r\n";
const std::string kAutoexecBat = "@echo off \r\n"
                                 "prompt $P$G\r\n";

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    data[i] = char((i * 7 + i / 251) & 0xFF);
  return data;
}

// Serves `data` and can stop with a read error after `fail_after` bytes;
// `on_read` runs at the start of every read.
class ScriptedBuf : public std::streambuf {
public:
  explicit ScriptedBuf(std::string data) : data_(std::move(data)) {}
  std::size_t fail_after = std::string::npos;
  std::function<void()> on_read;

protected:
  std::streamsize xsgetn(char *out, std::streamsize count) override {
    if (on_read)
      on_read();
    if (position_ >= fail_after)
      throw std::runtime_error("medium error");
    std::size_t n = std::min<std::size_t>(std::size_t(count),
                                          data_.size() - position_);
    std::copy_n(data_.data() + position_, n, out);
    position_ += n;
    return std::streamsize(n);
  }
  int_type underflow() override { return traits_type::eof(); }

private:
  std::string data_;
  std::size_t position_ = 0;
};

class ScriptedStream : public std::istream {
public:
  explicit ScriptedStream(std::string data)
      : std::istream(nullptr), buf(std::move(data)) {
    rdbuf(&buf);
  }
  ScriptedBuf buf;
};

class ResourceFileTest : public ::testing::Test {
protected:
  void SetUp() override { Res::init_for("en-US"); }

  std::string saved(const std::string &name) {
    return test::read_file(scratch.path(name));
  }

  // The failure of `save`, which must be an Error with a cause.
  Error failure_of(ResourceFile &file, const std::string &folder) {
    try {
      file.save(folder);
    } catch (const Error &e) {
      EXPECT_TRUE(e.cause()) << e.what();
      return e;
    }
    ADD_FAILURE() << "save did not fail";
    return Error("");
  }

  std::string expected_message(const std::string &name,
                               const std::string &folder,
                               const std::string &cause) {
    return "Could not copy resource " + name + " to " + folder + ": " + cause;
  }

  test::Scratch scratch;
  test::FaultFileSystem faults;
  platform::FileSystemOverride use{faults};
};

TEST_F(ResourceFileTest, KernelIsWrittenInTwoChunksAndStartFilesInOne) {
  ResourceFile("KERNEL.SYS").save(scratch.path());
  EXPECT_EQ(faults.writes, (std::vector<std::size_t>{32767, 12577}));
  auto embedded = platform::open_resource("KERNEL.SYS");
  std::string kernel{std::istreambuf_iterator<char>(*embedded), {}};
  EXPECT_EQ(saved("KERNEL.SYS"), kernel);

  faults.writes.clear();
  ResourceFile("CONFIG.SYS").save(scratch.path());
  ResourceFile("AUTOEXEC.BAT").save(scratch.path());
  EXPECT_EQ(faults.writes, (std::vector<std::size_t>{67, 25}));
  EXPECT_EQ(saved("CONFIG.SYS"), kConfigSys);
  EXPECT_EQ(saved("AUTOEXEC.BAT"), kAutoexecBat);
}

TEST_F(ResourceFileTest, ChunksOfAnySize) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> chunks;
  } cases[] = {
      {0, {}},
      {1, {1}},
      {32767, {32767}},
      {32768, {32767, 1}},
      {65534, {32767, 32767}},
      {100000, {32767, 32767, 32767, 1699}},
  };
  for (const Case &c : cases) {
    faults.writes.clear();
    std::string data = pattern(c.size);
    ResourceFile file("DATA.BIN", std::make_unique<ScriptedStream>(data));
    file.save(scratch.path());
    EXPECT_EQ(faults.writes, c.chunks) << c.size;
    EXPECT_EQ(saved("DATA.BIN"), data) << c.size;
    EXPECT_EQ(faults.count("flush"), 0u + (&c - cases) + 1) << "flushed once per save";
  }
}

// The write of each chunk is held until the read of the next one has
// begun: written one after the other, the two would never meet and the
// write would give up waiting. Reads and writes must not overlap among
// themselves, and a buffer refilled before its write ended would show in
// the file.
TEST_F(ResourceFileTest, ReadingOverlapsTheWriteOfTheLastChunk) {
  std::string data = pattern(3 * ResourceFile::kChunkSize + 10);
  auto stream = std::make_unique<ScriptedStream>(data);
  std::mutex mutex;
  std::condition_variable changed;
  int reads = 0, writes = 0, waits_given_up = 0;
  std::atomic<int> writing{0}, reading{0};
  bool overlapping_writes = false, overlapping_reads = false;
  stream->buf.on_read = [&] {
    overlapping_reads |= reading++ > 0;
    {
      std::lock_guard lock(mutex);
      ++reads;
    }
    changed.notify_all();
    reading--;
  };
  faults.on_write = [&](std::size_t) {
    overlapping_writes |= writing++ > 0;
    std::unique_lock lock(mutex);
    int next_read = ++writes + 1;
    // The last chunk has no next read.
    if (next_read <= 4 && !changed.wait_for(lock, std::chrono::seconds(2),
                          [&] { return reads >= next_read; }))
      ++waits_given_up;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writing--;
  };
  ResourceFile("BIG.BIN", std::move(stream)).save(scratch.path());
  EXPECT_EQ(writes, 4);
  EXPECT_EQ(waits_given_up, 0) << "a read waited for the write before it";
  EXPECT_FALSE(overlapping_writes);
  EXPECT_FALSE(overlapping_reads);
  EXPECT_EQ(saved("BIG.BIN"), data);
}

TEST_F(ResourceFileTest, ReplacesALongerFileWithoutTrailingBytes) {
  scratch.write("CONFIG.SYS", pattern(100000));
  ResourceFile("CONFIG.SYS").save(scratch.path());
  EXPECT_EQ(saved("CONFIG.SYS"), kConfigSys);
}

TEST_F(ResourceFileTest, MissingFolderNamesFileAndFolder) {
  std::string folder = scratch.path("missing");
  ResourceFile file("CONFIG.SYS");
  Error e = failure_of(file, folder);
  EXPECT_EQ(e.what(),
            expected_message("CONFIG.SYS", folder, message_of(e.cause())));
  EXPECT_THROW(std::rethrow_exception(e.cause()), platform::FileError);
  EXPECT_FALSE(stdfs::exists(folder));
}

TEST_F(ResourceFileTest, ProtectedDestinationFails) {
  if (test::under_wine())
    GTEST_SKIP() << "Wine replaces protected files when it runs as root";
  for (std::uint32_t protection :
       {platform::kAttributeReadOnly, platform::kAttributeHidden,
        platform::kAttributeSystem}) {
    std::string old = scratch.write("KERNEL.SYS", "old kernel");
    platform::native_file_system().set_attributes(old, protection);
    ResourceFile file("KERNEL.SYS");
    Error e = failure_of(file, scratch.path());
    try {
      std::rethrow_exception(e.cause());
    } catch (const platform::FileError &cause) {
      EXPECT_EQ(cause.code(), 5u); // ERROR_ACCESS_DENIED
    }
    EXPECT_EQ(e.what(), expected_message("KERNEL.SYS", scratch.path(),
                                         "Access is denied."));
    platform::native_file_system().set_attributes(old, platform::kAttributeNormal);
    EXPECT_EQ(saved("KERNEL.SYS"), "old kernel");
  }
}

TEST_F(ResourceFileTest, MissingResourceLeavesTheCreatedFileEmpty) {
  ResourceFile file("NOSUCH.SYS");
  Error e = failure_of(file, scratch.path());
  EXPECT_EQ(e.what(), expected_message("NOSUCH.SYS", scratch.path(),
                                       "Could not read resource."));
  EXPECT_TRUE(stdfs::exists(scratch.path("NOSUCH.SYS")));
  EXPECT_EQ(saved("NOSUCH.SYS"), "");
}

TEST_F(ResourceFileTest, ReadFailureKeepsWhatWasWrittenAndClosesTheFile) {
  std::string data = pattern(100000);
  auto stream = std::make_unique<ScriptedStream>(data);
  stream->buf.fail_after = 2 * ResourceFile::kChunkSize;
  bool created_first = false;
  stream->buf.on_read = [&, done = false]() mutable {
    if (!done)
      created_first = stdfs::exists(scratch.path("PART.BIN"));
    done = true;
  };
  ResourceFile file("PART.BIN", std::move(stream));
  Error e = failure_of(file, scratch.path());
  EXPECT_TRUE(created_first) << "the file is created before the first read";
  EXPECT_EQ(e.what(), expected_message("PART.BIN", scratch.path(),
                                       "Could not read resource."));
  EXPECT_EQ(saved("PART.BIN"), data.substr(0, 2 * ResourceFile::kChunkSize));
  // A file still open would refuse to go on Windows.
  EXPECT_TRUE(stdfs::remove(scratch.path("PART.BIN")));
}

TEST_F(ResourceFileTest, WriteFailuresAreWrapped) {
  faults.fail("write", 112, 1); // ERROR_DISK_FULL on the second chunk
  ResourceFile kernel("KERNEL.SYS");
  Error full = failure_of(kernel, scratch.path());
  EXPECT_EQ(full.what(),
            expected_message("KERNEL.SYS", scratch.path(),
                             platform::FileError(112, "").what()));
  EXPECT_EQ(saved("KERNEL.SYS").size(), 32767u);
  EXPECT_TRUE(stdfs::remove(scratch.path("KERNEL.SYS")));

  faults.taken = [](std::size_t size) { return size - 1; };
  ResourceFile config("CONFIG.SYS");
  EXPECT_EQ(failure_of(config, scratch.path()).what(),
            expected_message("CONFIG.SYS", scratch.path(),
                             "Could not write to disk."));
  faults.taken = nullptr;

  faults.fail("flush", 29); // ERROR_WRITE_FAULT
  ResourceFile autoexec("AUTOEXEC.BAT");
  EXPECT_EQ(failure_of(autoexec, scratch.path()).what(),
            expected_message("AUTOEXEC.BAT", scratch.path(),
                             platform::FileError(29, "").what()));
}

TEST(ThirdPartyLicenses, PlainAsciiWithCrLfAndTheSectionsInOrder) {
  auto stream = platform::open_resource("ThirdPartyLicenses.txt");
  ASSERT_TRUE(stream);
  std::string text{std::istreambuf_iterator<char>(*stream), {}};
  for (std::size_t i = 0; i < text.size(); ++i) {
    ASSERT_LT((unsigned char)text[i], 0x80u) << "at " << i;
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
    }
    if (text[i] == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.find("@GPL_TEXT@"), std::string::npos);

  const char *headings[] = {
      "(1) Third Party Component Information, Licenses and Trademarks",
      "(1.1) FDISK.EXE",
      "(1.2) SYS.COM",
      "(1.3) KERNEL.SYS",
      "(1.4) COMMAND.COM",
      "(1.5) FreeDOS",
      "(1.6) References",
      "(1.6.4) GNU GENERAL PUBLIC LICENSE Version 2, June 1991",
  };
  std::size_t at = 0;
  for (const char *heading : headings) {
    std::size_t found = text.find(std::string("\r\n") + heading + "\r\n", at);
    if (at == 0 && text.rfind(heading, 0) == 0)
      found = 0;
    ASSERT_NE(found, std::string::npos) << heading << " missing or out of order";
    at = found + 1;
  }
  // The licence itself follows the last heading, from its preamble to its end.
  std::size_t gpl = text.find("Preamble", at);
  EXPECT_NE(gpl, std::string::npos);
  EXPECT_NE(text.find("END OF TERMS AND CONDITIONS", gpl), std::string::npos);
  EXPECT_NE(text.find("Public License instead of this License.\r\n", gpl),
            std::string::npos);
}

} // namespace

// Profile-file access with the reading and writing rules of the Windows
// profile functions. Every call opens the file, does its one operation and
// closes it again; nothing is cached between calls. The writers of one
// folder take turns on a lock file there, ".corvilink.lock", that only the
// running account can open; readers take no lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>

namespace plat {

// "In <path> kann nicht geschrieben werden"
class IniWriteError : public std::runtime_error {
public:
  explicit IniWriteError(const std::string& path);
};

class IniFile {
public:
  // How far a write goes before it returns. ToDisk: until the new content and
  // the rename are on the disk. Cached: until they are in the page cache, for
  // files a crash may lose, such as a marker whose only news is its last-write
  // time and which a flush every few seconds would keep the disk awake for.
  // Either way the file is replaced in one rename under the writer's lock.
  enum class Flush { ToDisk, Cached };
  // A symbolic link at the name: Follow rewrites the file it names, as a
  // user who linked a configuration file wants; Refuse fails the write, for
  // a file the program makes itself in a folder others may write, and so does
  // anything there but a regular file of the running account's with no other
  // name.
  enum class Links { Follow, Refuse };

  // How long a write waits for another writer of the folder, or for a lease
  // on the file to be given up, before it fails. A writer may be stopped
  // holding the lock; the engine's one thread must not wait on it.
  static constexpr std::chrono::milliseconds kLockWait{2000};
  // The writers of a folder take turns on this file there, which only they can open.
  static constexpr const char* kLockName = ".corvilink.lock";
  // A larger file, or anything but a regular file, reads as a missing one;
  // a write that would need to read or make one fails.
  static constexpr size_t kMaxFileSize = size_t(1) << 20;

  // writeTime: the last-write time, in whole seconds, that every write gives
  // the file; the present moment when none is given.
  explicit IniFile(std::string path, Flush flush = Flush::ToDisk, Links links = Links::Follow,
                   std::optional<std::time_t> writeTime = std::nullopt)
      : path_(std::move(path)), flush_(flush), links_(links), writeTime_(writeTime) {}
  const std::string& FileName() const { return path_; }

  // Section and key names compare without regard to case. A missing file or
  // key gives the default; a key present with an empty value gives "".
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Decimal, or hexadecimal after "$", "0x" or "0X"; anything else gives def.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // An integer read with default 0/1; true for every non-zero value.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Replaces or adds one key; every other byte of the file stays as it was.
  // Throws IniWriteError when the file cannot be written.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1" / "0"

private:
  std::string path_;
  Flush flush_;
  Links links_;
  std::optional<std::time_t> writeTime_;
};

}  // namespace plat

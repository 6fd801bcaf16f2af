#include "IniFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common.h"
#include "IntText.h"

namespace plat {

IniWriteError::IniWriteError(const std::string& path)
    : std::runtime_error("In " + path + " kann nicht geschrieben werden") {}

namespace {

constexpr size_t kMaxValue = 2047;  // what a 2048-byte profile buffer holds

// The profile functions' notion of blank; 0x1A is the old end-of-file mark.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\x1a';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the file: [start, end) is its text without the line end,
// next is where the following line starts.
struct Line {
  size_t start, end, next;
};

// Where a section and a key sit in the text, as the reader and the writer
// both must see them.
struct Spot {
  bool haveSection = false;
  Line afterSection{};  // last non-empty line of the first matching section
  bool haveKey = false;
  Line keyLine{};
  std::string_view value;  // trimmed, quotes still on
};

Spot Locate(std::string_view text, std::string_view section, std::string_view key) {
  Spot spot;
  bool inside = false;
  size_t pos = 0;
  while (pos < text.size()) {
    Line line{pos, text.size(), text.size()};
    size_t lf = text.find('\n', pos);
    if (lf != std::string_view::npos) {
      line.end = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
      line.next = lf + 1;
    }
    pos = line.next;

    std::string_view body = Trim(text.substr(line.start, line.end - line.start));
    if (body.empty() || body.front() == ';') {
      if (inside && !body.empty()) spot.afterSection = line;
      continue;
    }
    if (body.front() == '[') {
      size_t close = body.rfind(']');
      if (close != std::string_view::npos) {
        if (inside) return spot;  // only the first matching section counts
        if (SameTextAscii(Trim(body.substr(1, close - 1)), section)) {
          inside = spot.haveSection = true;
          spot.afterSection = line;
        }
        continue;
      }
    }
    if (!inside) continue;
    spot.afterSection = line;
    size_t eq = body.find('=');
    std::string_view name = Trim(body.substr(0, eq));
    if (SameTextAscii(name, key)) {
      spot.haveKey = true;
      spot.keyLine = line;
      if (eq != std::string_view::npos) spot.value = Trim(body.substr(eq + 1));
      return spot;
    }
  }
  return spot;
}

std::string_view LineEndOf(std::string_view text) {
  size_t lf = text.find('\n');
  if (lf != std::string_view::npos && (lf == 0 || text[lf - 1] != '\r')) return "\n";
  return "\r\n";
}

std::string Compose(std::string_view old, const std::string& section, const std::string& key,
                    const std::string& value) {
  const std::string entry = key + "=" + value;
  const std::string_view eol = LineEndOf(old);
  Spot spot = Locate(old, section, key);
  std::string out;
  out.reserve(old.size() + section.size() + entry.size() + 8);

  if (spot.haveKey) {
    out.append(old.substr(0, spot.keyLine.start));
    out.append(entry);
    out.append(old.substr(spot.keyLine.end));
    return out;
  }
  if (spot.haveSection) {
    const Line& last = spot.afterSection;
    out.append(old.substr(0, last.next));
    if (last.next == last.end) out.append(eol);  // that line ended the file without a line end
    out.append(entry);
    out.append(eol);
    out.append(old.substr(last.next));
    return out;
  }
  out.append(old);
  if (!old.empty() && old.back() != '\n') out.append(eol);
  out.append("[").append(section).append("]").append(eol);
  out.append(entry).append(eol);
  return out;
}

// A symbolic link stays a link: the file it names is the one rewritten.
std::string Target(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::string resolved = RealPath(path);
    if (!resolved.empty()) return resolved;
  }
  return path;
}

using Clock = std::chrono::steady_clock;

// flock has no time-out, and an open that would break a lease says EWOULDBLOCK
// at once: a short poll keeps to the one thread and needs no signal to end
// the wait. False once the deadline has passed.
bool Pause(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return false;
  std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(5), deadline - now));
  return true;
}

// Never waits in the open: a device or a FIFO at the name can't hold the
// thread, and a lease someone holds on the file is waited for like a lock.
int OpenUntil(const std::string& path, int flags, Clock::time_point deadline) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EWOULDBLOCK || !Pause(deadline)) return fd;
  }
}

// The writers of a folder take turns on a file there that only they can
// open, so no one else can hold a write back. It stays: a writer waiting on
// it must never lock a name that is gone.
bool LockFolder(const std::string& dir, Clock::time_point deadline, Fd& lock) {
  lock.Reset(OpenUntil(dir + "/" + IniFile::kLockName, O_RDWR | O_CREAT | O_NOFOLLOW, deadline));
  struct stat st;
  if (lock.Get() < 0 || ::fstat(lock.Get(), &st) != 0 || !OwnFileAlone(st)) return false;
  // A umask may have taken the owner's write, and a bit for others lets them in.
  if ((st.st_mode & 07777) != 0600 && ::fchmod(lock.Get(), 0600) != 0) return false;
  for (;;) {
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) return true;
    if ((errno != EWOULDBLOCK && errno != EINTR) || !Pause(deadline)) return false;
  }
}

// Only a regular file, and no more of it than a profile file holds: /dev/zero
// or a FIFO at the name would never end the read.
bool ReadProfile(int fd, struct stat& st, std::string& text) {
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, text, IniFile::kMaxFileSize);
}

// Carries the old file's owner and mode over; a new file is the owner's alone.
bool TakeOver(int fd, const struct stat& old, bool created) {
  if (created) return ::fchmod(fd, 0600) == 0;
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
    // Without the right to give the file away, keep at least its group.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, uid_t(-1), old.st_gid);
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

void SyncDirectory(const std::string& dir) {
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.Get() >= 0) (void)::fsync(d.Get());  // the rename is done; this only hastens it to disk
}

bool Replace(const std::string& target, IniFile::Links links, const std::string& section,
             const std::string& key, const std::string& value, bool durable, const timespec times[2]) {
  const auto deadline = Clock::now() + IniFile::kLockWait;
  const std::string dir = DirectoryOf(target);
  // A device or the like at the name is refused before its folder gets a lock.
  struct stat named;
  if (::lstat(target.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) return false;
  Fd lock;
  if (!LockFolder(dir, deadline, lock)) return false;

  // Opened for writing too: a file the account may not write is not replaced.
  Fd old(OpenUntil(target, O_RDWR | O_NOFOLLOW, deadline));
  const bool created = old.Get() < 0;
  struct stat st{};
  std::string text;
  if (created ? errno != ENOENT  // a link, a dangling one too, or no right to write
              : !ReadProfile(old.Get(), st, text) || (links == IniFile::Links::Refuse && !OwnFileAlone(st)))
    return false;

  std::string changed = Compose(text, section, key, value);
  if (changed.size() > IniFile::kMaxFileSize) return false;  // the readers would not take it
  // Nothing to change but the last-write time, as a rewrite would leave it.
  // No new inode, so no old one to free: a marker rewritten every few
  // seconds wakes nothing else.
  if (changed == text) return ::futimens(old.Get(), times) == 0;

  std::string temp = dir + "/." + target.substr(target.rfind('/') + 1) + ".XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.Get() < 0) return false;
  const bool ok = WriteAll(out.Get(), changed) && TakeOver(out.Get(), st, created) &&
                  ::futimens(out.Get(), times) == 0 && (!durable || ::fsync(out.Get()) == 0) &&
                  out.Close() && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    out.Reset();
    ::unlink(temp.c_str());
    return false;
  }
  if (durable) SyncDirectory(dir);
  return true;
}

}  // namespace

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
  // No lock: a writer replaces the file in one rename, so a reader sees the
  // old content or the new, never a part.
  Fd fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  std::string text;
  if (fd.Get() < 0 || !ReadProfile(fd.Get(), st, text)) return def;
  Spot spot = Locate(text, section, key);
  if (!spot.haveKey) return def;

  std::string_view v = spot.value;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, kMaxValue));
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t def) const {
  int32_t value;
  return ParseProfileInt32(ReadString(section, key, ""), value) ? value : def;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  const std::string target = links_ == Links::Follow ? Target(path_) : path_;
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  if (writeTime_) times[0] = times[1] = {*writeTime_, 0};
  if (!Replace(target, links_, section, key, value, flush_ == Flush::ToDisk, times)) throw IniWriteError(path_);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace plat

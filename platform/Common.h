// Small routines the platform's layers share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <sys/stat.h>

namespace plat {

// ASCII letters only; every other byte stays as it is.
char LowerAscii(char c);
std::string LowerAscii(std::string text);
std::string UpperAscii(std::string text);
// Equal, or beginning with, without regard to the case of ASCII letters.
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsWithAscii(std::string_view text, std::string_view prefix);
// Without blanks and tabs at either end, or a CR at the end.
std::string TrimBlanks(const std::string& text);

// Decimal digits only, at most maxDigits of them (up to 19).
bool ParseDigits(const std::string& text, size_t maxDigits, uint64_t& value);
// A decimal port from 1 to 65535, digits only.
bool ParsePort(const std::string& text, uint16_t& port);

// An owned file descriptor, closed when it goes.
class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1);
  // Hands the descriptor over without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes it, telling whether the close went well: for a file whose data
  // must have reached the file system.
  bool Close();

private:
  int fd_;
};

// Reads to the end, again after an interruption; false on an error or when
// there is more than max.
bool ReadAll(int fd, std::string& out, size_t max = SIZE_MAX);
// Writes all of it, again after an interruption; false with errno set (EIO
// where the system wrote nothing and said no more).
bool WriteAll(int fd, std::string_view data);

// The path with every link resolved; empty when it can't be.
std::string RealPath(const std::string& path);

// The directory part of a path: "." without a slash, "/" for the root.
std::string DirectoryOf(const std::string& path);

// A regular file with no other name, of the account that runs the program:
// the only kind the programs append to or make in their folder, where
// someone else's file or a second name of the owner's may have been put.
bool OwnFileAlone(const struct stat& st);
// The same, of the given account.
bool OwnFileAlone(const struct stat& st, uid_t account);

}  // namespace plat

// Arbitrary bytes as the IPv6 test host's answer, fed to the GET's reader.
//
// Input: one control byte, then the answer.
//   0x80  a host that never stops: the answer up to its first zero byte,
//         then the rest again and again (all of it without a zero byte),
//         until the time is up after kEndless bytes
//   0x7F  the bytes arrive in pieces of 1 + (control & 0x7F), and all at once
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HttpAnswer.h"

namespace {

// Past what the head's limits let the reader take.
constexpr size_t kEndless = 128 * 1024;
// Two lines at their limit, a read and the body, with room to spare.
constexpr size_t kMemoryBound = 256 * 1024;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

class Bytes : public plat::AnswerSource {
public:
  Bytes(const std::string& head, const std::string& repeated, size_t piece, bool timeUp)
      : head_(head), repeated_(repeated), piece_(piece), timeUp_(timeUp),
        base_(__sanitizer_get_current_allocated_bytes()) {}

  ssize_t Read(char* to, size_t room) override {
    if (__sanitizer_get_current_allocated_bytes() > base_ + kMemoryBound) Fail("memory past the bound");
    const size_t end = repeated_.empty() ? head_.size() : kEndless;
    if (at_ >= end) {
      askedPastEnd = true;
      return timeUp_ ? -1 : 0;
    }
    const std::string& from = at_ < head_.size() ? head_ : repeated_;
    const size_t offset = at_ < head_.size() ? at_ : (at_ - head_.size()) % repeated_.size();
    const size_t n = std::min({room, piece_, end - at_, from.size() - offset});
    std::memcpy(to, from.data() + offset, n);
    at_ += n;
    return ssize_t(n);
  }

  // Whether the reader wanted more than there was.
  bool askedPastEnd = false;

private:
  const std::string& head_;
  const std::string& repeated_;
  size_t piece_;
  bool timeUp_;
  size_t base_;
  size_t at_ = 0;
};

struct Result {
  bool ok;
  std::string body;
  bool askedPastEnd;
};

// Endless data always ends with the time running out.
Result Read(const std::string& head, const std::string& repeated, size_t piece, bool timeUp) {
  timeUp = timeUp || !repeated.empty();
  Bytes source(head, repeated, piece, timeUp);
  Result r{false, "stale", false};
  r.ok = plat::ReadAnswer(source, r.body);
  r.askedPastEnd = source.askedPastEnd;
  if (r.body.size() > plat::kAnswerBodyLimit) Fail("body over the limit");
  if (r.ok && timeUp && r.askedPastEnd) Fail("true, though the time ran out before the answer was complete");
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = input[0];
  std::string head(reinterpret_cast<const char*>(input) + 1, size - 1), repeated;
  if ((control & 0x80) != 0) {
    const size_t zero = head.find('\0');
    repeated = zero == std::string::npos ? head : head.substr(zero + 1);
    head = zero == std::string::npos ? std::string() : head.substr(0, zero);
    if (repeated.empty()) return 0;
  }
  const size_t piece = 1 + (control & 0x7F);

  // How the bytes arrive must not change the answer.
  const Result whole = Read(head, repeated, SIZE_MAX, false);
  const Result pieces = Read(head, repeated, piece, false);
  if (whole.ok != pieces.ok || (whole.ok && whole.body != pieces.body)) Fail("the answer depends on the reads");
  if (!repeated.empty()) return 0;

  // The time running out where the data would end: an answer the reader
  // had complete before is the same answer, any other none.
  const Result cut = Read(head, repeated, piece, true);
  if (!cut.askedPastEnd && (cut.ok != pieces.ok || (cut.ok && cut.body != pieces.body)))
    Fail("a time-out not reached changed the answer");
  return 0;
}

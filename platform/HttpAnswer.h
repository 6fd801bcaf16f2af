// The reader of the GET's answer, apart from the socket, so that it can be
// fed any bytes. Only HttpGet.cpp and its fuzz target use it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace plat {

// Where the answer's bytes come from.
class AnswerSource {
public:
  // Up to room bytes into to: how many; 0 at the end of the data; -1 when
  // the time is up.
  virtual ssize_t Read(char* to, size_t room) = 0;

protected:
  ~AnswerSource() = default;
};

// The body is an address; more is not the answer the test asks for.
inline constexpr size_t kAnswerBodyLimit = 4096;

// Reads one answer (status line, header fields, body; or body only, as in
// HTTP/0.9) and puts its body, as sent, into body. True when the answer is
// complete before the time is up (whatever the status; a body the host cut
// off is what came); false when the head is broken or larger than its
// limits, the body longer than kAnswerBodyLimit, or the time ran out first.
bool ReadAnswer(AnswerSource& source, std::string& body);

}  // namespace plat

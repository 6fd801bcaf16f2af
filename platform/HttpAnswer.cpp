#include "HttpAnswer.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "Common.h"

namespace plat {

namespace {

constexpr size_t kLineLimit = 16384;
// For the status lines and header fields of all answers together, interim
// ones included: a host that sends them without end is given up on.
constexpr size_t kHeaderLimit = 65536;

// Buffered reading until the end of the data or the time is up. What has
// been taken is dropped as it goes, so the buffer never holds much more
// than one line or one read.
class Reader {
public:
  explicit Reader(AnswerSource& source) : source_(source) {}

  // True once the time running out has cut the reading short.
  bool TimedOut() const { return timedOut_; }

  // Reads more into the buffer; false at the end of the data.
  bool Fill() {
    if (ended_) return false;
    char chunk[4096];
    ssize_t n = source_.Read(chunk, sizeof chunk);
    if (n > 0) {
      buf_.append(chunk, size_t(n));
      return true;
    }
    timedOut_ = n < 0;
    ended_ = true;
    return false;
  }

  // One line without its LF (and CR); false when the data ends first or the
  // line grows past the limit.
  bool Line(std::string& line, size_t limit) {
    size_t from = pos();
    for (;;) {
      size_t lf = buf_.find('\n', from);
      if (lf != std::string::npos) {
        line.assign(buf_, pos(), lf - pos());
        if (!line.empty() && line.back() == '\r') line.pop_back();
        consumed_ = lf + 1;
        Compact();
        return true;
      }
      from = buf_.size();
      if (buf_.size() - pos() > limit || !Fill()) return false;
    }
  }

  // Appends up to n bytes to out; false when the data ended first.
  bool Take(uint64_t n, std::string& out) {
    while (n > 0) {
      if (buf_.size() == pos() && !Fill()) return false;
      size_t k = size_t(std::min<uint64_t>(n, buf_.size() - pos()));
      out.append(buf_, pos(), k);
      consumed_ += k;
      n -= k;
      Compact();
    }
    return true;
  }

  // Appends the rest of the data to out; false as soon as out would grow
  // past the limit.
  bool TakeRest(size_t limit, std::string& out) {
    do {
      size_t k = buf_.size() - pos();
      if (k > limit - out.size()) return false;
      out.append(buf_, pos(), k);
      consumed_ = buf_.size();
      Compact();
    } while (Fill());
    return true;
  }

  // Peeks at the first bytes; false when fewer than n ever arrive.
  bool Peek(size_t n, std::string& out) {
    while (buf_.size() - pos() < n)
      if (!Fill()) return false;
    out.assign(buf_, pos(), n);
    return true;
  }

private:
  size_t pos() const { return consumed_; }
  void Compact() {
    if (consumed_ >= 4096 || consumed_ == buf_.size()) {
      buf_.erase(0, consumed_);
      consumed_ = 0;
    }
  }

  AnswerSource& source_;
  std::string buf_;
  size_t consumed_ = 0;
  bool ended_ = false;
  bool timedOut_ = false;
};

struct Response {
  int status = 0;
  bool chunked = false;
  bool hasLength = false;
  uint64_t length = 0;
};

// Status line and header fields, skipping interim 1xx answers; false when no
// complete head arrives within the limits.
bool ReadHead(Reader& in, Response& resp) {
  size_t total = 0;
  for (;;) {
    std::string line;
    if (!in.Line(line, kLineLimit)) return false;
    // "HTTP/1.1 200 OK"
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0) return false;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 4 > line.size()) return false;
    resp = Response{};
    for (size_t i = sp + 1; i < sp + 4; ++i) {
      if (line[i] < '0' || line[i] > '9') return false;
      resp.status = resp.status * 10 + (line[i] - '0');
    }
    for (;;) {
      total += line.size();
      if (total > kHeaderLimit) return false;
      if (!in.Line(line, kLineLimit)) return false;
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
      std::string value = TrimBlanks(line.substr(colon + 1));
      if (name == "transfer-encoding") {
        if (LowerAscii(value).find("chunked") != std::string::npos) resp.chunked = true;
      } else if (name == "content-length") {
        resp.hasLength = ParseDigits(value, 18, resp.length);
      }
    }
    if (resp.status < 100 || resp.status >= 200 || resp.status == 101) return true;
  }
}

// False for an answer without a status line, which is all body as in
// HTTP/0.9; true also when nothing arrives, for ReadHead to fail on.
bool StatusLineFollows(Reader& in) {
  static const std::string kStart = "HTTP/";
  std::string head;
  for (size_t n = 1; n <= kStart.size(); ++n) {
    if (!in.Peek(n, head)) return true;
    if (head != kStart.substr(0, n)) return false;
  }
  return true;
}

// The chunked body, decoded; a malformed or cut-off chunk ends it. False
// when it grows past the limit.
bool ReadChunked(Reader& in, std::string& out) {
  for (;;) {
    std::string line;
    if (!in.Line(line, kLineLimit)) return true;
    uint64_t size = 0;
    size_t i = 0, digits = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    for (; i < line.size(); ++i, ++digits) {
      char c = LowerAscii(line[i]);
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (d < 0) break;
      size = std::min<uint64_t>(size * 16 + uint64_t(d), kAnswerBodyLimit + 1);
    }
    if (digits == 0) return true;
    if (size == 0) return true;  // trailers don't matter on a closing connection
    if (size > kAnswerBodyLimit - out.size()) return false;
    if (!in.Take(size, out)) return true;
    if (!in.Line(line, kLineLimit)) return true;
  }
}

// False when the body is longer than the limit.
bool ReadBody(Reader& in, const Response& resp, std::string& out) {
  if (resp.status == 204 || resp.status == 304) return true;
  if (resp.chunked) return ReadChunked(in, out);
  if (resp.hasLength) {
    if (resp.length > kAnswerBodyLimit) return false;
    in.Take(resp.length, out);
    return true;
  }
  return in.TakeRest(kAnswerBodyLimit, out);
}

}  // namespace

bool ReadAnswer(AnswerSource& source, std::string& body) {
  body.clear();
  Reader in(source);
  bool whole = false;
  if (StatusLineFollows(in)) {
    Response resp;
    whole = ReadHead(in, resp) && ReadBody(in, resp, body);
  } else {
    whole = in.TakeRest(kAnswerBodyLimit, body);
  }
  // An answer the time-out cut off is not the host's answer.
  return whole && !in.TimedOut();
}

}  // namespace plat

#include "CorvilinkFunctions.h"

#include <fcntl.h>
#include <sys/utsname.h>

#include "Common.h"
#include "IntText.h"
#include "dtools.h"

namespace corvilink {

ConvertError::ConvertError(const std::string& text)
    : std::runtime_error("'" + text + "' ist kein g\xFCltiger Integerwert") {}

// ---- address tests

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// count groups of one to three digits joined by dots, from pos to the end.
static bool DigitGroupsFrom(const std::string& text, size_t pos, int count) {
  for (int g = 0; g < count; ++g) {
    if (g > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t digits = 0;
    while (pos < text.size() && IsDigit(text[pos]) && digits < 3) {
      ++pos;
      ++digits;
    }
    if (digits == 0) return false;
  }
  return pos == text.size();
}

static bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsIPv4Text(const std::string& text) { return DigitGroupsFrom(text, 0, 4); }

bool IsPrivateIPv4(const std::string& text) {
  if (StartsWith(text, "10.")) return DigitGroupsFrom(text, 3, 3);
  if (StartsWith(text, "192.168.")) return DigitGroupsFrom(text, 8, 2);
  for (int second = 16; second <= 31; ++second)
    if (StartsWith(text, "172." + std::to_string(second) + ".")) return DigitGroupsFrom(text, 7, 2);
  return false;
}

// ---- number conversions

std::string IntToText(int32_t n) { return std::to_string(n); }

int32_t TextToIntOrOne(const std::string& text) {
  if (text.empty()) return 1;
  int32_t value = 0;
  if (!plat::ParseInt32(text, value)) throw ConvertError(text);
  return value;
}

// ---- texts

std::string ScrambleLine(const std::string& text) {
  const uint8_t shift = uint8_t(Random(25) + 1);
  std::string out;
  out.reserve(text.size());
  for (char c : text) out += char(uint8_t(uint8_t(c) + shift));
  return out;
}

std::string ReplaceAll(const std::string& text, const std::string& searched,
                       const std::string& replacement) {
  if (searched == replacement || text.size() <= searched.size() || searched.empty()) return text;
  size_t at = text.find(searched);
  if (at == std::string::npos) return text;

  if (replacement.size() >= searched.size()) {
    std::string out;
    size_t from = 0;
    for (; at != std::string::npos; at = text.find(searched, from)) {
      out.append(text, from, at - from);
      out += replacement;
      from = at + searched.size();
    }
    out.append(text, from, std::string::npos);
    return out;
  }

  // Every pass shortens the text. Nothing before the last replaced place held
  // the searched text, so a new one can only start where it reaches into
  // the replacement: rescanning from there finds what a scan from the start would.
  std::string out = text;
  while (at != std::string::npos) {
    out.replace(at, searched.size(), replacement);
    size_t back = searched.size() - 1;
    at = out.find(searched, at > back ? at - back : 0);
  }
  return out;
}

std::string ReplyValue(const std::string& key, const std::string& reply) {
  const std::string marker = key + ":";
  size_t at = reply.find(marker);
  if (at == std::string::npos) return std::string();
  std::string value = reply.substr(at + marker.size());
  size_t colon = value.find(':');
  if (colon != std::string::npos) {
    value.erase(colon + 1);
    while (value.size() > 1 && value.back() != ' ') value.pop_back();
  }
  while (!value.empty() && uint8_t(value.back()) <= 0x20) value.pop_back();
  return value;
}

// ---- operating system

static uint32_t LeadingNumber(const std::string& text, size_t& pos) {
  uint32_t v = 0;
  while (pos < text.size() && IsDigit(text[pos]) && v < 100000000u) v = v * 10 + uint32_t(text[pos++] - '0');
  return v;
}

// The value of PRETTY_NAME, its quotes and shell escapes taken off.
static std::string PrettyName(const std::string& osRelease) {
  std::string found;
  for (size_t at = 0, end; at < osRelease.size(); at = end + 1) {
    end = osRelease.find('\n', at);
    if (end == std::string::npos) end = osRelease.size();
    const std::string line = osRelease.substr(at, end - at);
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line.compare(b, 12, "PRETTY_NAME=") != 0) continue;
    std::string raw = line.substr(b + 12);
    while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t')) raw.pop_back();
    std::string value;
    char quote = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
        value += raw[++i];
      } else {
        value += c;
      }
    }
    found = value;
  }
  return found;
}

OSVersionRecord OSVersionRecordOf(const std::string& kernelRelease, const std::string& osRelease) {
  OSVersionRecord record;
  size_t pos = 0;
  record.major = LeadingNumber(kernelRelease, pos);
  if (pos < kernelRelease.size() && kernelRelease[pos] == '.') {
    ++pos;
    record.minor = LeadingNumber(kernelRelease, pos);
  }
  record.csdVersion = PrettyName(osRelease);
  return record;
}

// The system's version values are the process's from its start, as the
// version query answers them once.
static OSVersionRecord ReadOSVersion() {
  std::string release;
  struct utsname names;
  if (uname(&names) == 0) release = names.release;
  // Read without iostreams, whose locale machinery would cost the daemon a
  // tenth of its memory for this one file.
  std::string osRelease;
  const plat::Fd file(open("/etc/os-release", O_RDONLY | O_CLOEXEC));
  if (file.Get() >= 0 && !plat::ReadAll(file.Get(), osRelease)) osRelease.clear();
  return OSVersionRecordOf(release, osRelease);
}

static const OSVersionRecord g_osVersion = ReadOSVersion();

void GetOSVersionInfo(OSVersionRecord& record) { record = g_osVersion; }

static const char* WindowsSuffix(const OSVersionRecord& r) {
  const bool ws = r.productType == 1;
  if (r.platformId == 1 && r.major == 4) {
    if (r.minor == 0) return " - Windows 95";
    if (r.minor == 10) return " - Windows 98";
    if (r.minor == 90) return " - Windows Me";
  }
  if (r.platformId == 2) {
    if (r.major == 3 && r.minor == 51) return ws ? " - NT 3.51" : " - NT 3.51 Srv";
    if (r.major == 4 && r.minor == 0) return ws ? " - NT 4 WS" : " - NT 4 Srv";
    if (r.major == 5 && r.minor == 0) return ws ? " - 2000" : " - 2000 Srv";
    if (r.major == 5 && r.minor == 1) return ws ? " - XP" : " - XP Srv";
    if (r.major == 5 && r.minor == 2) return " - Srv 2003";
    if (r.major == 6 && r.minor == 0) return ws ? " - Vista" : " - Srv 2008";
    if (r.major == 6 && r.minor == 1) return ws ? " - Win 7" : " - Srv 2008 R2";
    if (r.major == 6 && r.minor == 2) return ws ? " - Win 8" : " - Srv 2012";
    if (r.major == 6 && r.minor == 3) return ws ? " - Win 8.1" : " - Srv 2012 R2";
    if (r.major == 10 && r.minor == 0) return ws ? " - 10" : " - Srv 2016";
  }
  return "";
}

std::string OSDescriptionOf(const OSVersionRecord& record) {
  std::string text = IntToText(int32_t(record.major)) + "." + IntToText(int32_t(record.minor));
  text += WindowsSuffix(record);
  if (!record.csdVersion.empty()) text += " " + record.csdVersion;
  return text;
}

std::string OSDescription() {
  OSVersionRecord record;
  GetOSVersionInfo(record);
  return OSDescriptionOf(record);
}

// ---- random

std::string RandomLetters(uint8_t count) {
  std::string letters;
  for (unsigned i = 0; i < count; ++i) letters += char(RandomRange(97, 122));
  return letters;
}

}  // namespace corvilink

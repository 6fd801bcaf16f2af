// Text, address and system routines of the engine. Texts are single-byte
// Windows-1252 strings; positions and comparisons are byte by byte.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvilink {

// Raised by TextToIntOrOne: "'<text>' ist kein gültiger Integerwert".
class ConvertError : public std::runtime_error {
public:
  explicit ConvertError(const std::string& text);
};

// Four dot-separated groups of one to three digits, nothing around them.
bool IsIPv4Text(const std::string& text);
// Such a quad in 10/8, 172.16/12 or 192.168/16, the leading groups as exact texts.
bool IsPrivateIPv4(const std::string& text);

std::string IntToText(int32_t n);
// 1 for the empty text; throws ConvertError when the text doesn't convert.
int32_t TextToIntOrOne(const std::string& text);

// Every byte shifted by one draw of 1..25 from the process's generator.
std::string ScrambleLine(const std::string& text);

// Replaces the searched text until none is left, rescanning from the start.
// A replacement not shorter than the searched text would not always end, so
// then it is one left-to-right pass over non-overlapping occurrences.
std::string ReplaceAll(const std::string& text, const std::string& searched,
                       const std::string& replacement);

// The value after "key:" in a server reply, up to the blank before the next
// colon or the reply's end, without trailing blanks and control bytes.
std::string ReplyValue(const std::string& key, const std::string& reply);

// The version values OSDescription names.
struct OSVersionRecord {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t platformId = 0;   // 1 = Windows 95 family, 2 = NT family
  uint8_t productType = 0;   // 1 = workstation; 0 when unknown
  std::string csdVersion;    // service-pack text
};

// Kernel release "6.1.0-18-amd64" and the text of an os-release file.
OSVersionRecord OSVersionRecordOf(const std::string& kernelRelease, const std::string& osRelease);
// This system: uname and /etc/os-release.
void GetOSVersionInfo(OSVersionRecord& record);

// "major.minor", the suffix of the record's Windows version, " " and the
// service-pack text when there is one.
std::string OSDescriptionOf(const OSVersionRecord& record);
std::string OSDescription();

// count letters from a to y, one draw each.
std::string RandomLetters(uint8_t count);

}  // namespace corvilink

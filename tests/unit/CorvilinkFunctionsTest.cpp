#include "CorvilinkFunctions.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dtools.h"

using namespace std::string_literals;

namespace corvilink {
namespace {

// A seed whose next state is 0xFFFFFFFF: the highest draw of any range.
constexpr uint32_t kSeedHighestDraw = 0x4D60AE66u;

struct TextCase {
  std::string text;
  bool expected;
};

std::string Shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return "\"" + out + "\"";
}

TEST(IsIPv4Text, Table) {
  const std::vector<TextCase> cases = {
      {"1.2.3.4", true},         {"0.0.0.0", true},         {"999.999.999.999", true},
      {"01.002.3.4", true},      {"255.255.255.255", true}, {"000.000.000.000", true},
      {"1.2.3", false},          {"1.2.3.4.5", false},      {"1234.1.1.1", false},
      {"1.1.1.1234", false},     {"1..2.3", false},         {"", false},
      {" 1.2.3.4", false},       {"1.2.3.4 ", false},       {"1.2.3.4\r", false},
      {"1.2.3.4\n", false},      {"1.2.3.4\r\n", false},    {"1.2.3.", false},
      {".1.2.3", false},         {"1.2.3.4.", false},       {"a.b.c.d", false},
      {"1.2.3.4a", false},       {"1.2.3.4\0"s, false},     {"1,2,3,4", false},
      {"\n1.2.3.4", false},      {"+1.2.3.4", false},       {"1.2.3.-4", false},
      {"1.2.3.\xB2", false},  // superscript two is not a digit
  };
  for (const auto& c : cases) EXPECT_EQ(IsIPv4Text(c.text), c.expected) << Shown(c.text);
}

TEST(IsPrivateIPv4, Table) {
  const std::vector<TextCase> cases = {
      {"10.0.0.1", true},          {"10.999.1.1", true},       {"172.16.0.1", true},
      {"172.31.255.255", true},    {"192.168.1.1", true},      {"10.01.02.003", true},
      {"192.168.999.0", true},     {"172.172.0.1", false},
      {"172.15.0.1", false},       {"172.32.0.1", false},      {"192.169.1.1", false},
      {"127.0.0.1", false},        {"169.254.1.1", false},     {"100.64.0.1", false},
      {"010.1.2.3", false},        {"172.016.0.1", false},     {"192.168.1.1\r\n", false},
      {"192.168.1.1\n", false},    {"10.0.0.1\r", false},      {"", false},
      {"10.1.2", false},           {"10.1.2.3.4", false},      {"10.1.2.1000", false},
      {"172.16.1", false},         {"172.16.1.2.3", false},    {"192.168.1", false},
      {"192.168.0001.1", false},   {"172.3.0.1", false},       {"172.160.0.1", false},
      {" 10.0.0.1", false},        {"10.0.0.1 ", false},       {"100.0.0.1", false},
      {"1.10.0.0", false},         {"11.0.0.1", false},        {"192.16.1.1", false},
      {"8.8.8.8", false},          {"10.0.0.", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPrivateIPv4(c.text), c.expected) << Shown(c.text);
}

TEST(IsPrivateIPv4, EverySecondGroupOf172) {
  for (int second = 0; second <= 99; ++second) {
    std::string text = "172." + std::to_string(second) + ".5.6";
    EXPECT_EQ(IsPrivateIPv4(text), second >= 16 && second <= 31) << text;
  }
}

TEST(IntToText, Table) {
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {0, "0"},
      {-1, "-1"},
      {1, "1"},
      {2147483647, "2147483647"},
      {INT32_MIN, "-2147483648"},
      {1000000, "1000000"},
      {-10, "-10"},
  };
  for (const auto& [n, text] : cases) EXPECT_EQ(IntToText(n), text);
}

TEST(TextToIntOrOne, Converts) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"", 1},
      {"300", 300},
      {" 300", 300},
      {"   7", 7},
      {"$1F", 31},
      {"$1f", 31},
      {"x1F", 31},
      {"X10", 16},
      {"0x10", 16},
      {"0X10", 16},
      {"-5", -5},
      {"+5", 5},
      {"-$1F", -31},
      {"0", 0},
      {"-0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"$7FFFFFFF", 2147483647},
  };
  for (const auto& [text, value] : cases) {
    try {
      EXPECT_EQ(TextToIntOrOne(text), value) << Shown(text);
    } catch (const ConvertError& e) {
      ADD_FAILURE() << Shown(text) << " raised " << e.what();
    }
  }
}

TEST(TextToIntOrOne, RaisesWithTheTextInTheMessage) {
  const std::vector<std::string> cases = {
      "300 ", "abc", " ", "  ", "2147483648", "-2147483649", "300\r\n", "300\n", "\t5",
      "-", "+", "$", "0x", "x", "1.5", "5-", "+-5", "$100000000", "$G", "1e3", "0x 1",
  };
  for (const auto& text : cases) {
    try {
      int32_t v = TextToIntOrOne(text);
      ADD_FAILURE() << Shown(text) << " gave " << v;
    } catch (const ConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + text + "' ist kein g\xFCltiger Integerwert") << Shown(text);
    }
  }
}

TEST(TextToIntOrOne, MessageIsSingleByteText) {
  try {
    TextToIntOrOne("abc");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    const std::string expected = {'\'', 'a', 'b', 'c', '\'', ' ', 'i', 's', 't', ' ', 'k', 'e', 'i', 'n', ' ',
                                  'g', char(0xFC), 'l', 't', 'i', 'g', 'e', 'r', ' ', 'I', 'n', 't', 'e',
                                  'g', 'e', 'r', 'w', 'e', 'r', 't'};
    EXPECT_EQ(std::string(e.what()), expected);
  }
}

// The shift of a scrambled line: one value for every byte, or 0 when not.
int ShiftOf(const std::string& in, const std::string& out) {
  if (in.size() != out.size() || in.empty()) return 0;
  int shift = (uint8_t(out[0]) - uint8_t(in[0]) + 256) % 256;
  for (size_t i = 1; i < in.size(); ++i)
    if ((uint8_t(out[i]) - uint8_t(in[i]) + 256) % 256 != shift) return 0;
  return shift;
}

TEST(ScrambleLine, OneShiftForTheWholeLine) {
  std::string line = "AuthCode=abc&Name=z y&Ver=460100\r\n";
  for (int b = 0; b < 256; ++b) line += char(b);
  RandSeed = 12345;
  for (int i = 0; i < 200; ++i) {
    std::string out = ScrambleLine(line);
    ASSERT_EQ(out.size(), line.size());
    int shift = ShiftOf(line, out);
    EXPECT_GE(shift, 1);
    EXPECT_LE(shift, 25);
  }
}

TEST(ScrambleLine, LowestAndHighestShift) {
  struct Case {
    uint32_t seed;
    std::string in, out;
  };
  const std::vector<Case> cases = {
      // A seed of 0 draws 0: shift 1.
      {0, "\xFF"s, "\x00"s},
      {0, "z", "\x7B"},
      {0, "AuthCode=", "BvuiDpef>"},
      {0, "\x00\xE7 "s, "\x01\xE8!"s},
      {kSeedHighestDraw, "\xE7"s, "\x00"s},
      {kSeedHighestDraw, "\xFF"s, "\x18"s},
      {kSeedHighestDraw, "A", "Z"},
      {kSeedHighestDraw, "a=1", "z\x56J"},
  };
  for (const auto& c : cases) {
    RandSeed = c.seed;
    EXPECT_EQ(ScrambleLine(c.in), c.out) << Shown(c.in);
  }
}

TEST(ScrambleLine, DrawsOncePerCallWhateverTheLength) {
  for (const std::string& line : {""s, "A"s, std::string(5000, 'x')}) {
    RandSeed = 777;
    Random(25);
    const uint32_t afterOneDraw = RandSeed;
    RandSeed = 777;
    ScrambleLine(line);
    EXPECT_EQ(RandSeed, afterOneDraw) << line.size();
  }
}

TEST(ScrambleLine, EmptyGivesEmpty) {
  RandSeed = 1;
  EXPECT_EQ(ScrambleLine(""), "");
}

TEST(ScrambleLine, AllShiftsOccurAndRepeatForTheSameSeed) {
  const std::string line = "AuthCode=0123456789";
  auto run = [&](uint32_t seed) {
    RandSeed = seed;
    std::vector<int> shifts;
    for (int i = 0; i < 2000; ++i) {
      std::string out = ScrambleLine(line);
      int shift = ShiftOf(line, out);
      EXPECT_EQ(uint8_t(out[0]), 0x41 + shift);
      shifts.push_back(shift);
    }
    return shifts;
  };
  const std::vector<int> shifts = run(4242);
  const std::set<int> seen(shifts.begin(), shifts.end());
  std::set<int> all;
  for (int s = 1; s <= 25; ++s) all.insert(s);
  EXPECT_EQ(seen, all);
  EXPECT_EQ(run(4242), shifts);
  EXPECT_NE(run(4243), shifts);
}

struct ReplaceCase {
  std::string text, searched, replacement, expected;
};

TEST(ReplaceAll, ShorterReplacementRescansFromTheStart) {
  const std::vector<ReplaceCase> cases = {
      {"4.6.0.100", ".", "", "460100"},
      {"aaab", "ab", "b", "b"},  // aab, ab, b
      {"aaaa", "aa", "a", "a"},
      {"xab", "ab", "", "x"},
      {"abcabc", "abc", "x", "xx"},
      {"aabb", "ab", "", ""},
      {"abab", "ab", "", ""},
      {"xaabbx", "ab", "", "xx"},
      {"a.b..c", "..", ".", "a.b.c"},
      {"...", "..", ".", "."},
      {"a\0b\0c"s, "\0"s, "", "abc"},
      {"ABab", "ab", "", "AB"},  // case-sensitive
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReplaceAll(c.text, c.searched, c.replacement), c.expected)
        << Shown(c.text) << " " << Shown(c.searched) << " " << Shown(c.replacement);
}

TEST(ReplaceAll, TextComesBackUnchanged) {
  const std::vector<ReplaceCase> cases = {
      {".", ".", "", "."},              // equal to the searched text
      {"ab", "ab", "", "ab"},           // equal, with a shorter replacement
      {"ab", "abc", "", "ab"},          // shorter than the searched text
      {"a.b", ".", ".", "a.b"},         // searched text equals the replacement
      {"abc", "", "x", "abc"},          // empty searched text
      {"abc", "d", "", "abc"},          // absent
      {"", "", "", ""},
      {"", "a", "", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReplaceAll(c.text, c.searched, c.replacement), c.expected)
        << Shown(c.text) << " " << Shown(c.searched) << " " << Shown(c.replacement);
}

// Not shorter: one pass from left to right over non-overlapping occurrences,
// so a replacement holding the searched text ends too.
TEST(ReplaceAll, ReplacementNotShorterIsOnePass) {
  const std::vector<ReplaceCase> cases = {
      {"aXa", "a", "aa", "aaXaa"},
      {"ab", "a", "ba", "bab"},
      {"aab", "ab", "ba", "aba"},
      {"abab", "ab", "ba", "baba"},
      {"xyxy", "x", "z", "zyzy"},
      {"aaa", "aa", "bb", "bba"},
      {"aaaa", "aa", "aaa", "aaaaaa"},
      {"a.b.c", ".", "::", "a::b::c"},
      {"..", ".", "..", "...."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReplaceAll(c.text, c.searched, c.replacement), c.expected)
        << Shown(c.text) << " " << Shown(c.searched) << " " << Shown(c.replacement);
}

// The plain rule for shrinking replacements: find the first occurrence from
// the start, replace it, repeat.
std::string ReplaceFromStart(std::string text, const std::string& searched, const std::string& replacement) {
  if (searched == replacement || text.size() <= searched.size() || searched.empty()) return text;
  for (size_t at = text.find(searched); at != std::string::npos; at = text.find(searched))
    text = text.substr(0, at) + replacement + text.substr(at + searched.size());
  return text;
}

TEST(ReplaceAll, ShrinkingAgreesWithRescanningFromTheStart) {
  std::mt19937 gen(20240601);
  auto word = [&](size_t maxLen) {
    std::string w(gen() % (maxLen + 1), 'a');
    for (char& c : w) c = "ab."[gen() % 3];
    return w;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string searched = word(4);
    if (searched.empty()) continue;
    std::string replacement = word(searched.size() - 1);
    std::string text = word(24);
    ASSERT_EQ(ReplaceAll(text, searched, replacement), ReplaceFromStart(text, searched, replacement))
        << Shown(text) << " " << Shown(searched) << " " << Shown(replacement);
  }
}

TEST(ReplaceAll, LongTextEndsQuickly) {
  std::string text(200000, 'a');
  text += 'b';
  EXPECT_EQ(ReplaceAll(text, "ab", "b"), "b");
  EXPECT_EQ(ReplaceAll(text, "a", "aa").size(), 400001u);
}

struct ReplyCase {
  std::string key, reply, expected;
};

TEST(ReplyValue, Table) {
  const std::string reply = "IP:1.2.3.4 DT:HA SI:300\r\n";
  const std::vector<ReplyCase> cases = {
      {"IP", reply, "1.2.3.4"},
      {"DT", reply, "HA"},
      {"SI", reply, "300"},
      {"MI", reply, ""},
      {"ip", reply, ""},
      {"DT", "IP:1.2.3.4 DT:Tarif B SI:300", "Tarif B"},
      {"DT", "IP:1.2.3.4 DT: SI:300", ""},
      {"IP", "MIP:5.6.7.8 IP:1.2.3.4", "5.6.7.8"},
      {"MIP", "MIP:5.6.7.8 IP:1.2.3.4", "5.6.7.8"},
      {"DT", "DT:HA:SI", "H"},
      {"DT", "DT::", ":"},
      {"DT", "X DT:: Y", ":"},
      {"DT", "IP:1.2.3.4 DT:", ""},
      {"SI", "SI:  300\r\n", "  300"},
      {"DT", "DT:  HA SI:1", "  HA"},
      {"DT", "DT:HA   SI:1", "HA"},
      {"DT", "DT:HA\t \r\n", "HA"},
      {"DT", "DT:HA\x01\x1F\x20", "HA"},
      {"DT", "DT:HA\x7F", "HA\x7F"},
      {"DT", "DT:\xE4nderung SI:1", "\xE4nderung"},
      {"IP", "IP 1.2.3.4", ""},
      {"IP", "", ""},
      {"DT", "DT:a DT:b", "a"},
      {"DT", "DT:x:y:z", "x"},
      {"DT", "DT:a b c:d", "a b"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReplyValue(c.key, c.reply), c.expected) << c.key << " in " << Shown(c.reply);
}

TEST(OSDescription, SuffixTable) {
  struct Row {
    uint32_t platform, major, minor;
    const char* workstation;
    const char* other;
  };
  const std::vector<Row> rows = {
      {1, 4, 0, " - Windows 95", " - Windows 95"},   {1, 4, 10, " - Windows 98", " - Windows 98"},
      {1, 4, 90, " - Windows Me", " - Windows Me"},  {2, 3, 51, " - NT 3.51", " - NT 3.51 Srv"},
      {2, 4, 0, " - NT 4 WS", " - NT 4 Srv"},        {2, 5, 0, " - 2000", " - 2000 Srv"},
      {2, 5, 1, " - XP", " - XP Srv"},               {2, 5, 2, " - Srv 2003", " - Srv 2003"},
      {2, 6, 0, " - Vista", " - Srv 2008"},          {2, 6, 1, " - Win 7", " - Srv 2008 R2"},
      {2, 6, 2, " - Win 8", " - Srv 2012"},          {2, 6, 3, " - Win 8.1", " - Srv 2012 R2"},
      {2, 10, 0, " - 10", " - Srv 2016"},
  };
  for (const auto& row : rows) {
    const std::string numbers = std::to_string(row.major) + "." + std::to_string(row.minor);
    for (uint8_t productType : {0, 1, 2, 3}) {
      for (const std::string& csd : {""s, "Service Pack 1"s}) {
        OSVersionRecord r;
        r.platformId = row.platform;
        r.major = row.major;
        r.minor = row.minor;
        r.productType = productType;
        r.csdVersion = csd;
        std::string expected = numbers + (productType == 1 ? row.workstation : row.other);
        if (!csd.empty()) expected += " " + csd;
        EXPECT_EQ(OSDescriptionOf(r), expected) << numbers << " type " << int(productType) << " " << csd;
      }
    }
  }
}

TEST(OSDescription, CombinationsWithoutSuffix) {
  struct Case {
    uint32_t platform, major, minor;
    uint8_t productType;
    std::string csd, expected;
  };
  const std::vector<Case> cases = {
      {2, 6, 1, 1, "Service Pack 1", "6.1 - Win 7 Service Pack 1"},
      {2, 6, 4, 1, "", "6.4"},
      {2, 6, 4, 1, "SP", "6.4 SP"},
      {2, 10, 1, 1, "", "10.1"},
      {2, 4, 10, 1, "", "4.10"},
      {1, 5, 0, 1, "", "5.0"},
      {1, 4, 1, 1, "", "4.1"},
      {1, 6, 1, 1, "", "6.1"},
      {0, 6, 1, 1, "Debian GNU/Linux 12 (bookworm)", "6.1 Debian GNU/Linux 12 (bookworm)"},
      {0, 4, 0, 1, "", "4.0"},
      {3, 5, 1, 1, "", "5.1"},
      {0, 0, 0, 0, "", "0.0"},
  };
  for (const auto& c : cases) {
    OSVersionRecord r;
    r.platformId = c.platform;
    r.major = c.major;
    r.minor = c.minor;
    r.productType = c.productType;
    r.csdVersion = c.csd;
    EXPECT_EQ(OSDescriptionOf(r), c.expected);
  }
}

TEST(OSDescription, RecordFromKernelReleaseAndOsRelease) {
  struct Case {
    std::string release, osRelease, expected;
  };
  const std::vector<Case> cases = {
      {"6.1.0-18-amd64", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "6.1 Debian GNU/Linux 12 (bookworm)"},
      {"6.1.0-18-amd64", "", "6.1"},
      {"6.1.0-18-amd64", "NAME=Debian\n", "6.1"},
      {"5.15.0-91-generic", "PRETTY_NAME='Ubuntu 22.04.3 LTS'\n", "5.15 Ubuntu 22.04.3 LTS"},
      {"6.6.7-arch1-1", "PRETTY_NAME=Arch\n", "6.6 Arch"},
      {"6.8", "PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$x\"\r\n", "6.8 Say \"hi\" \\ $x"},
      {"4.19.0", "# PRETTY_NAME=\"Old\"\nPRETTY_NAME=\"New\"\n", "4.19 New"},
      {"4", "PRETTY_NAME=\"\"\n", "4.0"},
      {"", "", "0.0"},
      {"6.10.3", "PRETTY_NAME_X=\"x\"\nPRETTY_NAME=\"Fedora Linux 40\"", "6.10 Fedora Linux 40"},
  };
  for (const auto& c : cases) {
    OSVersionRecord r = OSVersionRecordOf(c.release, c.osRelease);
    EXPECT_EQ(r.platformId, 0u);
    EXPECT_EQ(r.productType, 0);
    EXPECT_EQ(OSDescriptionOf(r), c.expected) << c.release << " " << Shown(c.osRelease);
  }
}

TEST(OSDescription, ThisSystem) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  OSVersionRecord r;
  r.platformId = 2;
  r.productType = 1;
  GetOSVersionInfo(r);
  EXPECT_EQ(r.platformId, 0u);
  EXPECT_EQ(r.productType, 0);
  const std::string numbers = std::to_string(r.major) + "." + std::to_string(r.minor);
  EXPECT_EQ(std::string(names.release).compare(0, numbers.size() + 1, numbers + "."), 0) << names.release;
  EXPECT_EQ(OSDescription(), OSDescriptionOf(r));
}

TEST(RandomLetters, LengthsAndLetters) {
  RandSeed = 99;
  for (uint8_t count : {0, 3, 6, 255}) {
    std::string letters = RandomLetters(count);
    ASSERT_EQ(letters.size(), count);
    for (char c : letters) {
      EXPECT_GE(c, 'a');
      EXPECT_LE(c, 'y');
    }
  }
}

TEST(RandomLetters, LowestAndHighestDraw) {
  RandSeed = 0;
  EXPECT_EQ(RandomLetters(1), "a");
  RandSeed = kSeedHighestDraw;
  EXPECT_EQ(RandomLetters(1), "y");
}

TEST(RandomLetters, OneDrawPerLetterAndNeverZ) {
  for (uint8_t count : {0, 3, 6}) {
    RandSeed = 31337;
    for (int i = 0; i < count; ++i) Random(25);
    const uint32_t after = RandSeed;
    RandSeed = 31337;
    RandomLetters(count);
    EXPECT_EQ(RandSeed, after) << int(count);
  }
  RandSeed = 5;
  std::set<char> seen;
  for (int i = 0; i < 2000; ++i)
    for (char c : RandomLetters(6)) seen.insert(c);
  EXPECT_EQ(seen.size(), 25u);
  EXPECT_EQ(seen.count('z'), 0u);
}

}  // namespace
}  // namespace corvilink

#include "IniFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using plat::IniFile;
using plat::IniWriteError;

namespace {

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "initest.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name = "corvilink.ini") const { return (dir_ / name).string(); }

  void Put(const std::string& bytes, const std::string& name = "corvilink.ini") const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string Get(const std::string& name = "corvilink.ini") const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    names.erase(".corvilink.lock");  // the writers' lock stays
    return names;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }

  fs::path dir_;
};

// ---- reading ----------------------------------------------------------------

struct IntCase {
  const char* line;  // nullptr: no Level key at all
  int32_t expected;
};

TEST_F(IniFileTest, ReadIntegerConvertsOrFallsBackToDefault) {
  const IntCase cases[] = {
      {"Level=300", 300}, {"Level=-1", -1},  {"Level=abc", 20}, {"Level=0x28", 40},
      {"Level=$1E", 30},  {"Level=0X1f", 31}, {"Level=", 20},    {nullptr, 20},
      {"Level = 42 ", 42}, {"Level=12abc", 20}, {"Level=\"7\"", 7},
      // The file has its own rule, narrower than the update reply's.
      {"Level=x10", 20}, {"Level=X1E", 20}, {"Level=-$1E", 20}, {"Level=-0x10", 20}, {"Level=\" 7\"", 20},
      {"Level=+7", 7}, {"Level=-", 20}, {"Level=$FFFFFFFF", -1}, {"Level=2147483648", 20},
      {"Level=-2147483648", INT32_MIN},
  };
  for (const IntCase& c : cases) {
    std::string text = "[LOGGING]\r\nOther=5\r\n";
    if (c.line) text += std::string(c.line) + "\r\n";
    Put(text);
    EXPECT_EQ(IniFile(Path()).ReadInteger("LOGGING", "Level", 20), c.expected)
        << (c.line ? c.line : "(missing)");
  }
}

struct BoolCase {
  const char* line;
  bool def;
  bool expected;
};

TEST_F(IniFileTest, ReadBoolIsAnyNonZeroInteger) {
  const BoolCase cases[] = {
      {"Offline=2", false, true},  {"Offline=yes", false, false}, {"Offline=yes", true, true},
      {"Offline=0", false, false}, {"Offline=0", true, false},    {"Offline=1", false, true},
      {"Offline=-1", false, true}, {"Offline=", true, true},      {nullptr, true, true},
      {nullptr, false, false},     {"Offline=$0", true, false},
  };
  for (const BoolCase& c : cases) {
    std::string text = "[ACCOUNT]\r\n";
    if (c.line) text += std::string(c.line) + "\r\n";
    Put(text);
    EXPECT_EQ(IniFile(Path()).ReadBool("ACCOUNT", "Offline", c.def), c.expected)
        << (c.line ? c.line : "(missing)") << " default " << c.def;
  }
}

struct StringCase {
  const char* name;
  std::string file;
  std::string section, key;
  std::string expected;  // default is always "corvilink.example"
};

TEST_F(IniFileTest, ReadStringRules) {
  const std::string def = "corvilink.example";
  const StringCase cases[] = {
      {"missing key", "[ACCOUNT]\r\nAccount=a\r\n", "ACCOUNT", "Domain", def},
      {"missing section", "[OTHER]\r\nDomain=a\r\n", "ACCOUNT", "Domain", def},
      {"present empty", "[ACCOUNT]\r\nDomain=\r\n", "ACCOUNT", "Domain", ""},
      {"present blanks only", "[ACCOUNT]\r\nDomain=  \t \r\n", "ACCOUNT", "Domain", ""},
      {"no equals sign", "[ACCOUNT]\r\nDomain\r\n", "ACCOUNT", "Domain", ""},
      {"case of names", "[account]\r\nDOMAIN=x\r\n", "AcCount", "domain", "x"},
      {"non-ASCII not folded", "[\xC4]\r\nk=x\r\n", "\xE4", "k", def},
      {"blanks trimmed", "  [ACCOUNT]  \r\n \t Domain \t=  a b  \r\n", "ACCOUNT", "Domain", "a b"},
      {"blanks inside brackets", "[ ACCOUNT ]\r\nDomain=x\r\n", "ACCOUNT", "Domain", "x"},
      {"LF only", "[ACCOUNT]\nDomain=lf\nX=1\n", "ACCOUNT", "Domain", "lf"},
      {"no final line end", "[ACCOUNT]\r\nDomain=end", "ACCOUNT", "Domain", "end"},
      {"first section wins", "[A]\r\nk=1\r\n[a]\r\nk=2\r\n", "A", "k", "1"},
      {"later duplicate ignored", "[A]\r\nj=1\r\n[A]\r\nk=2\r\n", "A", "k", def},
      {"first key wins", "[A]\r\nk=1\r\nK=2\r\n", "A", "k", "1"},
      {"key before any section", "k=0\r\n[A]\r\nj=1\r\n", "A", "k", def},
      {"key of next section", "[A]\r\nj=1\r\n[B]\r\nk=1\r\n", "A", "k", def},
      {"comment skipped", "[A]\r\n;k=1\r\n  ; k=2\r\nk=3\r\n", "A", "k", "3"},
      {"commented section", "[A]\r\n;[B]\r\nk=1\r\n", "A", "k", "1"},
      {"semicolon inside value", "[A]\r\nk=a ; b\r\n", "A", "k", "a ; b"},
      {"equals inside value", "[A]\r\nk=a=b\r\n", "A", "k", "a=b"},
      {"double quotes", "[A]\r\nk=\" a b \"\r\n", "A", "k", " a b "},
      {"single quotes", "[A]\r\nk='x'\r\n", "A", "k", "x"},
      {"empty quotes", "[A]\r\nk=\"\"\r\n", "A", "k", ""},
      {"unmatched quotes", "[A]\r\nk=\"x'\r\n", "A", "k", "\"x'"},
      {"lone quote", "[A]\r\nk=\"\r\n", "A", "k", "\""},
      {"inner quotes", "[A]\r\nk=a\"b\"\r\n", "A", "k", "a\"b\""},
      {"bytes as they are", "[A]\r\nk=\xE4\xF6\xFC\x80\xFF\r\n", "A", "k", "\xE4\xF6\xFC\x80\xFF"},
  };
  for (const StringCase& c : cases) {
    Put(c.file);
    EXPECT_EQ(IniFile(Path()).ReadString(c.section, c.key, def), c.expected) << c.name;
  }
}

TEST_F(IniFileTest, MissingFileGivesEveryDefault) {
  IniFile ini(Path("absent.ini"));
  EXPECT_EQ(ini.ReadString("ACCOUNT", "Domain", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("LOGGING", "Level", 20), 20);
  EXPECT_TRUE(ini.ReadBool("ACCOUNT", "Offline", true));
  EXPECT_FALSE(fs::exists(Path("absent.ini")));
  // So does what is not a file, or more than a profile file holds; at once.
  const std::string full = "[A]\r\nk=x\r\n" + std::string(IniFile::kMaxFileSize - 10, ';');
  Put(full, "full.ini");
  Put(full + ";", "over.ini");
  fs::create_symlink("/dev/zero", Path("zero.ini"));
  for (const char* name : {"full.ini", "over.ini", "zero.ini"})
    EXPECT_EQ(IniFile(Path(name)).ReadString("A", "k", "d"), name[0] == 'f' ? "x" : "d") << name;
}

TEST_F(IniFileTest, ValueIsCutTo2047Bytes) {
  const size_t lengths[] = {2046, 2047, 2048, 5000};
  for (size_t n : lengths) {
    std::string value;
    for (size_t i = 0; i < n; ++i) value += char('a' + i % 26);
    Put("[A]\r\nk=" + value + "\r\nj=after\r\n");
    IniFile ini(Path());
    EXPECT_EQ(ini.ReadString("A", "k", ""), value.substr(0, 2047)) << n;
    EXPECT_EQ(ini.ReadString("A", "j", ""), "after") << n;
    // Quotes come off before the cut.
    Put("[A]\r\nk=\"" + value + "\"\r\n");
    EXPECT_EQ(ini.ReadString("A", "k", ""), value.substr(0, 2047)) << n;
  }
}

// ---- writing ----------------------------------------------------------------

enum class Kind { String, Integer, Bool };

struct WriteCase {
  const char* name;
  std::string before;  // "<none>": no file at all
  Kind kind;
  std::string section, key, value;
  std::string after;
};

TEST_F(IniFileTest, WriteChangesOnlyItsOwnLine) {
  const std::string conf =
      "; corvilink\r\n"
      "\r\n"
      "[ACCOUNT]\r\n"
      "  account = old ; note\r\n"
      "Domain=\xE4x.example\r\n"
      "\r\n"
      "   \r\n"
      "[LOGGING]\r\n"
      "Level=20\r\n"
      ";trailing \xFC\r\n";
  const WriteCase cases[] = {
      {"replace, caller's key spelling", conf, Kind::String, "ACCOUNT", "Account", "new",
       "; corvilink\r\n\r\n[ACCOUNT]\r\nAccount=new\r\nDomain=\xE4x.example\r\n\r\n   \r\n"
       "[LOGGING]\r\nLevel=20\r\n;trailing \xFC\r\n"},
      {"replace, other section", conf, Kind::Integer, "logging", "LEVEL", "40",
       "; corvilink\r\n\r\n[ACCOUNT]\r\n  account = old ; note\r\nDomain=\xE4x.example\r\n\r\n"
       "   \r\n[LOGGING]\r\nLEVEL=40\r\n;trailing \xFC\r\n"},
      {"append after last non-empty line", conf, Kind::String, "ACCOUNT", "Passwd", "0123abcd",
       "; corvilink\r\n\r\n[ACCOUNT]\r\n  account = old ; note\r\nDomain=\xE4x.example\r\n"
       "Passwd=0123abcd\r\n\r\n   \r\n[LOGGING]\r\nLevel=20\r\n;trailing \xFC\r\n"},
      {"append after trailing comment", conf, Kind::Integer, "LOGGING", "Extra", "-7",
       conf + "Extra=-7\r\n"},
      {"new section at end", conf, Kind::Bool, "OPTIONS", "Broadcast", "1",
       conf + "[OPTIONS]\r\nBroadcast=1\r\n"},
      {"LF file keeps LF", "[A]\nk=1\n\n[B]\nx=2\n", Kind::String, "A", "j", "v",
       "[A]\nk=1\nj=v\n\n[B]\nx=2\n"},
      {"LF file, new section", "[A]\nk=1\n", Kind::Bool, "B", "b", "0", "[A]\nk=1\n[B]\nb=0\n"},
      {"LF file, replace", "[A]\nk=1\n", Kind::String, "A", "k", "2", "[A]\nk=2\n"},
      {"no final line end, append", "[A]\r\nk=1", Kind::String, "A", "j", "2",
       "[A]\r\nk=1\r\nj=2\r\n"},
      {"no final line end, replace", "[A]\r\nk=1", Kind::String, "A", "k", "2", "[A]\r\nk=2"},
      {"no final line end, new section", "[A]\nk=1", Kind::String, "B", "x", "y",
       "[A]\nk=1\n[B]\nx=y\n"},
      {"section header only", "[A]\r\n[B]\r\n", Kind::String, "a", "k", "v",
       "[A]\r\nk=v\r\n[B]\r\n"},
      {"commented key is not the key", "[A]\r\n;k=1\r\n", Kind::String, "A", "k", "2",
       "[A]\r\n;k=1\r\nk=2\r\n"},
      {"first of duplicate sections", "[A]\r\nk=1\r\n[A]\r\nk=2\r\n", Kind::String, "A", "k", "3",
       "[A]\r\nk=3\r\n[A]\r\nk=2\r\n"},
      {"first of duplicate keys", "[A]\r\nk=1\r\nk=2\r\n", Kind::String, "A", "K", "3",
       "[A]\r\nK=3\r\nk=2\r\n"},
      {"key line without value", "[A]\r\n  k  \r\nj=1\r\n", Kind::String, "A", "k", "v",
       "[A]\r\nk=v\r\nj=1\r\n"},
      {"empty value", "[A]\r\nk=1\r\n", Kind::String, "A", "k", "", "[A]\r\nk=\r\n"},
      {"value bytes as they are", "[A]\r\n", Kind::String, "A", "k", " \xE4 \"q\" ",
       "[A]\r\nk= \xE4 \"q\" \r\n"},
      {"empty file", "", Kind::String, "ACCOUNT", "run", "1", "[ACCOUNT]\r\nrun=1\r\n"},
      {"new file", "<none>", Kind::Bool, "ACCOUNT", "run", "1", "[ACCOUNT]\r\nrun=1\r\n"},
      {"new file, integer", "<none>", Kind::Integer, "DAEMON", "StartDelay", "-2147483648",
       "[DAEMON]\r\nStartDelay=-2147483648\r\n"},
      {"bool false", "<none>", Kind::Bool, "ACCOUNT", "EXIT", "0", "[ACCOUNT]\r\nEXIT=0\r\n"},
  };
  for (const WriteCase& c : cases) {
    fs::remove(Path());
    if (c.before != "<none>") Put(c.before);
    IniFile ini(Path());
    switch (c.kind) {
      case Kind::String: ini.WriteString(c.section, c.key, c.value); break;
      case Kind::Integer: ini.WriteInteger(c.section, c.key, std::stoi(c.value)); break;
      case Kind::Bool: ini.WriteBool(c.section, c.key, c.value == "1"); break;
    }
    EXPECT_EQ(Get(), c.after) << c.name;
    EXPECT_EQ(Entries(), std::set<std::string>{"corvilink.ini"}) << c.name;
  }
}

TEST_F(IniFileTest, WrittenValuesReadBack) {
  IniFile ini(Path());
  ini.WriteString("ACCOUNT", "Domain", "");
  ini.WriteInteger("LOGGING", "Level", 300);
  ini.WriteBool("ACCOUNT", "Offline", true);
  ini.WriteBool("ACCOUNT", "Dv6", false);
  EXPECT_EQ(ini.ReadString("ACCOUNT", "Domain", "default"), "");
  EXPECT_EQ(ini.ReadInteger("LOGGING", "Level", 20), 300);
  EXPECT_TRUE(ini.ReadBool("ACCOUNT", "Offline", false));
  EXPECT_FALSE(ini.ReadBool("ACCOUNT", "Dv6", true));
  EXPECT_EQ(Get(), "[ACCOUNT]\r\nDomain=\r\nOffline=1\r\nDv6=0\r\n[LOGGING]\r\nLevel=300\r\n");
}

TEST_F(IniFileTest, NewFileIsOwnerOnlyWhateverTheUmask) {
  mode_t saved = ::umask(0277);
  IniFile(Path()).WriteBool("ACCOUNT", "run", true);
  ::umask(0);
  IniFile(Path("b.ini")).WriteBool("ACCOUNT", "run", true);
  ::umask(saved);
  EXPECT_EQ(Mode(Path()), 0600u);
  EXPECT_EQ(Mode(Path("b.ini")), 0600u);
  EXPECT_EQ(Mode(Path(".corvilink.lock")), 0600u);
}

TEST_F(IniFileTest, ExistingModeAndOwnerAreKept) {
  const mode_t modes[] = {0644, 0640, 0604, 0666};
  for (mode_t mode : modes) {
    Put("[A]\r\nk=1\r\n");
    ASSERT_EQ(::chmod(Path().c_str(), mode), 0);
    const bool root = ::geteuid() == 0;  // only root can give the file away
    if (root) {
      ASSERT_EQ(::chown(Path().c_str(), 4321, 4322), 0);
    }
    IniFile(Path()).WriteString("A", "k", "2");
    struct stat st{};
    ASSERT_EQ(::stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, root ? 4321u : ::geteuid());
    EXPECT_EQ(st.st_gid, root ? 4322u : ::getegid());
    EXPECT_EQ(Get(), "[A]\r\nk=2\r\n");
  }
}

// The marker files live on this: a write with unchanged content still gives
// the file a fresh last-write time, flushed to the disk or not, and leaves the
// file itself (its inode, its mode) as it was.
TEST_F(IniFileTest, EveryWriteRenewsTheFileTimeEvenWithTheSameContent) {
  for (IniFile::Flush flush : {IniFile::Flush::ToDisk, IniFile::Flush::Cached}) {
    SCOPED_TRACE(flush == IniFile::Flush::ToDisk ? "ToDisk" : "Cached");
    fs::remove(Path("Corvilink.run"));
    IniFile ini(Path("Corvilink.run"), flush);
    ini.WriteBool("ACCOUNT", "run", true);
    ASSERT_EQ(::chmod(Path("Corvilink.run").c_str(), 0640), 0);
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("Corvilink.run").c_str(), old, 0), 0);
    struct stat before{};
    ASSERT_EQ(::stat(Path("Corvilink.run").c_str(), &before), 0);
    ini.WriteBool("ACCOUNT", "run", true);
    struct stat st{};
    ASSERT_EQ(::stat(Path("Corvilink.run").c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, ::time(nullptr) - 60);
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Get("Corvilink.run"), "[ACCOUNT]\r\nrun=1\r\n");
    EXPECT_EQ(Entries(), std::set<std::string>{"Corvilink.run"});
  }
}

// Makes fsync and fdatasync fail with EIO in this process from now on.
bool FailDiskFlushes() {
#if defined(__x86_64__)
  constexpr uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr uint32_t arch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Which writes wait for the disk: with every flush failing, a ToDisk write
// fails and leaves the old file, a Cached one goes through.
TEST_F(IniFileTest, OnlyCachedWritesDoWithoutTheDisk) {
  struct FlushCase {
    const char* name;
    IniFile::Flush flush;
    bool written;
  };
  const FlushCase cases[] = {{"ToDisk", IniFile::Flush::ToDisk, false},
                             {"Cached", IniFile::Flush::Cached, true}};
  const std::string old = "[ACCOUNT]\r\nrun=0\r\n";
  for (const FlushCase& c : cases) {
    Put(old, "CorvilinkD.run");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (!FailDiskFlushes()) ::_exit(4);
      if (::fsync(STDOUT_FILENO) == 0 || errno != EIO) ::_exit(5);
      try {
        IniFile(Path("CorvilinkD.run"), c.flush).WriteBool("ACCOUNT", "run", true);
      } catch (const IniWriteError&) {
        ::_exit(2);
      } catch (...) {
        ::_exit(3);
      }
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(WEXITSTATUS(status), c.written ? 1 : 2)
        << c.name << ": 1 written, 2 refused, 3 other error, 5 filter without effect";
    EXPECT_EQ(Get("CorvilinkD.run"), c.written ? "[ACCOUNT]\r\nrun=1\r\n" : old) << c.name;
    EXPECT_EQ(Entries(), std::set<std::string>{"CorvilinkD.run"}) << c.name;
  }
}

TEST_F(IniFileTest, LinkStaysALinkToTheRewrittenFile) {
  fs::create_directory(dir_ / "real");
  Put("[A]\nk=1\n", "real/conf.ini");
  fs::create_symlink(dir_ / "real" / "conf.ini", dir_ / "corvilink.ini");
  IniFile(Path()).WriteString("A", "k", "2");
  EXPECT_TRUE(fs::is_symlink(dir_ / "corvilink.ini"));
  EXPECT_EQ(Get("real/conf.ini"), "[A]\nk=2\n");
  EXPECT_EQ(IniFile(Path()).ReadString("A", "k", ""), "2");
  EXPECT_EQ(fs::directory_iterator(dir_ / "real")->path().filename(), "conf.ini");
  // A file the program makes itself is never written through a planted link,
  // nor as a second name of another file.
  IniFile marker(Path(), IniFile::Flush::Cached, IniFile::Links::Refuse);
  EXPECT_THROW(marker.WriteString("A", "k", "3"), IniWriteError);
  EXPECT_TRUE(fs::is_symlink(dir_ / "corvilink.ini"));
  fs::remove(Path());
  fs::create_hard_link(Path("real/conf.ini"), Path());
  EXPECT_THROW(marker.WriteString("A", "k", "3"), IniWriteError);
  EXPECT_EQ(Get("real/conf.ini"), "[A]\nk=2\n");
}

// ---- failures ---------------------------------------------------------------

void ExpectWriteError(const std::string& path) {
  try {
    IniFile(path).WriteString("ACCOUNT", "run", "1");
    ADD_FAILURE() << "no error for " << path;
  } catch (const IniWriteError& e) {
    EXPECT_STREQ(e.what(), ("In " + path + " kann nicht geschrieben werden").c_str());
  }
}

TEST_F(IniFileTest, UnwritablePlacesThrowWithThePath) {
  Put("[A]\r\nk=1\r\n", "plain");
  fs::create_directory(dir_ / "sub.ini");
  const std::string paths[] = {
      Path("nodir/corvilink.ini"),  // directory does not exist
      Path("plain/corvilink.ini"),  // parent is a regular file
      Path("sub.ini"),              // the name is a directory
  };
  for (const std::string& p : paths) ExpectWriteError(p);
  EXPECT_EQ(Get("plain"), "[A]\r\nk=1\r\n");
  EXPECT_EQ(Entries(), (std::set<std::string>{"plain", "sub.ini"}));
  EXPECT_TRUE(fs::is_empty(dir_ / "sub.ini"));

  fs::create_symlink(dir_ / "nodir" / "x.ini", dir_ / "dangling.ini");
  ExpectWriteError(Path("dangling.ini"));
  // Nor a file the readers would not take, nor where the writers' lock is not
  // the account's own file with one name.
  Put(std::string(IniFile::kMaxFileSize - 4, ';'), "big.ini");
  ExpectWriteError(Path("big.ini"));
  const std::string lock = Path(".corvilink.lock");
  fs::remove(lock);
  fs::create_symlink(Path("plain"), lock);
  ExpectWriteError(Path("a.ini"));
  fs::remove(lock);
  fs::create_hard_link(Path("plain"), lock);
  ExpectWriteError(Path("a.ini"));
  fs::remove(lock);
  Put("", ".corvilink.lock");
  if (::geteuid() == 0 && ::chown(lock.c_str(), 4321, 4321) == 0) ExpectWriteError(Path("a.ini"));
}

// A failure after the temporary file exists: the file-size limit makes its
// write fail (root is not exempt from it).
TEST_F(IniFileTest, FailedWriteLeavesOldFileAndNoTemporary) {
  const std::string old = "; keep\r\n[A]\r\nk=1\r\n";
  for (bool existing : {true, false}) {
    fs::remove(Path());
    if (existing) {
      Put(old);
      ASSERT_EQ(::chmod(Path().c_str(), 0644), 0);
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit lim{64, 64};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      try {
        IniFile(Path()).WriteString("A", "k", std::string(500, 'v'));
      } catch (const IniWriteError& e) {
        std::string want = "In " + Path() + " kann nicht geschrieben werden";
        ::_exit(want == e.what() ? 0 : 2);
      } catch (...) {
        ::_exit(3);
      }
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no error, 2: wrong text, 3: wrong type";
    if (existing) {
      EXPECT_EQ(Get(), old);
      EXPECT_EQ(Mode(Path()), 0644u);
      EXPECT_EQ(Entries(), std::set<std::string>{"corvilink.ini"});
    } else {
      EXPECT_TRUE(Entries().empty());
    }
  }
}

// ---- concurrency ------------------------------------------------------------

// Each child writes its own key 1..n; before every write it must find its own
// previous value, so a write lost to the other process shows at once. The
// child reports through its exit code and, on the pipe, how often it saw the
// other key move.
int WriterChild(const std::string& path, IniFile::Flush flush, const std::string& mine,
                const std::string& other, int n, int startFd, int reportFd) {
  char go;
  if (::read(startFd, &go, 1) != 1) return 10;
  IniFile ini(path, flush);
  int32_t seen = -1;
  int moves = 0;
  for (int i = 1; i <= n; ++i) {
    if (ini.ReadInteger("KEYS", mine, 0) != i - 1) return 11;
    int32_t theirs = ini.ReadInteger("KEYS", other, 0);
    if (theirs < seen) return 12;
    if (seen >= 0 && theirs != seen) ++moves;
    seen = theirs;
    // A disk slower than the lock's bound fails a write, which leaves the file as it was.
    for (int tries = 1;; ++tries) {
      try {
        ini.WriteInteger("KEYS", mine, i);
        break;
      } catch (...) {
        if (tries == 5) return 13;
      }
    }
  }
  return ::write(reportFd, &moves, sizeof moves) == sizeof moves ? 0 : 14;
}

// The lock holds whether the writes wait for the disk or not.
TEST_F(IniFileTest, TwoProcessesWritingOwnKeysLoseNothing) {
  const int n = 1000;
  const std::string head = "; shared\r\n[OTHER]\r\nx=\xE4\r\n\r\n[KEYS]\r\nStart=1\r\n";
  for (IniFile::Flush flush : {IniFile::Flush::ToDisk, IniFile::Flush::Cached}) {
    SCOPED_TRACE(flush == IniFile::Flush::ToDisk ? "ToDisk" : "Cached");
    Put(head);
    int start[2], report[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(report), 0);
    pid_t pids[2];
    const char* keys[2] = {"Alpha", "Beta"};
    for (int c = 0; c < 2; ++c) {
      pids[c] = ::fork();
      ASSERT_GE(pids[c], 0);
      if (pids[c] == 0) {
        ::close(start[1]);
        ::close(report[0]);
        ::_exit(WriterChild(Path(), flush, keys[c], keys[1 - c], n, start[0], report[1]));
      }
    }
    ::close(start[0]);
    ::close(report[1]);
    ASSERT_EQ(::write(start[1], "gg", 2), 2);
    ::close(start[1]);
    for (pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0) << "11: own key lost, 12: other key went back, 13: throw";
    }
    int moves[2] = {0, 0};
    EXPECT_EQ(::read(report[0], moves, sizeof moves), ssize_t(sizeof moves));
    ::close(report[0]);
    EXPECT_GT(moves[0] + moves[1], 0) << "the two writers never overlapped";

    const std::string text = Get();
    EXPECT_TRUE(text == head + "Alpha=1000\r\nBeta=1000\r\n" ||
                text == head + "Beta=1000\r\nAlpha=1000\r\n")
        << text;
    EXPECT_EQ(Entries(), std::set<std::string>{"corvilink.ini"});
  }
}

// Only another writer of the folder, or a lease on the file until its holder
// gives it up, holds a write back: so long and no longer, then it fails. A
// lock that anyone who can read the file takes on it changes nothing.
TEST_F(IniFileTest, AHeldLockIsWaitedForABoundedTime) {
  using std::chrono::milliseconds;
  const milliseconds bound = IniFile::kLockWait, beyond = bound + milliseconds(500), brief(500);
  const std::tuple<const char*, int, milliseconds, milliseconds> cases[] = {
      {"corvilink.ini", LOCK_SH, beyond, milliseconds(0)}, {".corvilink.lock", LOCK_EX, beyond, bound},
      {".corvilink.lock", LOCK_EX, brief, brief},         {"corvilink.ini", F_RDLCK, beyond, bound},
      {"corvilink.ini", F_RDLCK, brief, brief}};
  ::signal(SIGIO, SIG_IGN);  // a lease's holder is told of the break
  for (const auto& [name, lock, held, waits] : cases) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(lock) + " for " + std::to_string(held.count()) + " ms");
    Put("[A]\r\nk=1\r\n");
    const int holder = ::open(Path(name).c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(lock == F_RDLCK ? ::fcntl(holder, F_SETLEASE, F_RDLCK) : ::flock(holder, lock), 0);
    std::thread release([&] {
      std::this_thread::sleep_for(held);
      ::close(holder);
    });
    const auto start = std::chrono::steady_clock::now();
    if (waits < bound) EXPECT_NO_THROW(IniFile(Path()).WriteString("A", "k", "2"));
    else ExpectWriteError(Path());
    const auto took = std::chrono::steady_clock::now() - start;
    release.join();
    EXPECT_EQ(Get(), waits < bound ? "[A]\r\nk=2\r\n" : "[A]\r\nk=1\r\n");
    EXPECT_GE(took, waits);
    EXPECT_LT(took, waits + milliseconds(300));
  }
}

// Readers take no lock: while a writer keeps replacing a long value, every read
// sees one whole value, and a writer killed mid-way leaves a whole file.
TEST_F(IniFileTest, ReadersAndKilledWriterNeverSeeAPartialFile) {
  const size_t len = 1500;
  Put("[A]\r\nk=" + std::string(len, 'a') + "\r\nz=tail\r\n");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    IniFile ini(Path());
    for (int i = 0;; ++i) ini.WriteString("A", "k", std::string(len, char('a' + i % 26)));
  }
  IniFile ini(Path());
  int bad = 0, distinct = 0;
  char last = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    std::string v = ini.ReadString("A", "k", "");
    bool whole = v.size() == len && std::count(v.begin(), v.end(), v[0]) == ssize_t(len) &&
                 ini.ReadString("A", "z", "") == "tail";
    if (!whole) ++bad;
    if (!v.empty() && v[0] != last) ++distinct, last = v[0];
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(distinct, 1) << "the writer never got going";

  std::string text = Get();
  ASSERT_EQ(text.size(), std::string("[A]\r\nk=\r\nz=tail\r\n").size() + len);
  char c = text[7];
  EXPECT_EQ(text, "[A]\r\nk=" + std::string(len, c) + "\r\nz=tail\r\n");
  // The killed writer may leave its temporary file, never a broken ini.
  for (const std::string& name : Entries())
    EXPECT_TRUE(name == "corvilink.ini" || name.rfind(".corvilink.ini.", 0) == 0) << name;
  ini.WriteString("A", "k", "ok");
  EXPECT_EQ(ini.ReadString("A", "k", ""), "ok");
}

}  // namespace

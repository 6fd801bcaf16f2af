// What the window stands on: the text boundary, the single-instance lock and
// libuv inside Qt's event loop (timers and a cross-thread wake-up only).
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "CorvilinkClient.h"
#include "CorvilinkMain.h"
#include "Cp1252.h"
#include "dtools.h"
#include "EngineFixture.h"
#include "QtLoop.h"
#include "Timer.h"
#include "Twice.h"
#include "UvLoop.h"

namespace {

// Sets an environment variable (nullptr: unsets it) and puts the old value back.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, hadOld_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (hadOld_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

// The runtime directory and the login session of one test; the lock taken in
// it is given up at the end.
class SessionEnv {
public:
  explicit SessionEnv(const char* runtimeDir, const char* sessionId = nullptr,
                      const char* display = ":0", const char* wayland = nullptr)
      : dir_("XDG_RUNTIME_DIR", runtimeDir),
        session_("XDG_SESSION_ID", sessionId),
        display_("DISPLAY", display),
        wayland_("WAYLAND_DISPLAY", wayland) {}
  ~SessionEnv() { desk::ReleaseSingleInstance(); }

private:
  ScopedEnv dir_, session_, display_, wayland_;
};

// The descriptor flags of our open descriptor on `path`, or -1.
int DescriptorFlagsOf(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target == path) return fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
  }
  return -1;
}

}  // namespace

class GlueTest : public QObject {
  Q_OBJECT

private slots:
  void fromEngine_data();
  void fromEngine();
  void toEngine_data();
  void toEngine();
  void everyByteRoundTrips();

  void lockPath_data();
  void lockPath();
  void secondInstance();
  void lockNotInherited();
  void lockRefusesLink();

  void timerFiresThroughQt();
  void emptyLoopDoesNotSpin();
  void workFromSlotNeedsRearm();
  void wakeUpThroughNotifier();
  void noNestedRun();
  void errorBoxWaitsForPump();
};

// --- text boundary ---

void GlueTest::fromEngine_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<QString>("text");
  QTest::newRow("ascii") << QByteArray("Info!    ok") << QStringLiteral("Info!    ok");
  QTest::newRow("umlauts") << QByteArray("\xE4\xF6\xFC\xC4\xD6\xDC\xDF") << QString::fromUtf8("äöüÄÖÜß");
  QTest::newRow("euro") << QByteArray("5\x80") << QString::fromUtf8("5€");
  QTest::newRow("0x9F") << QByteArray("\x9F") << QString::fromUtf8("Ÿ");
  QTest::newRow("undefined 0x81") << QByteArray("a\x81z") << QString::fromUtf8("a\xC2\x81z");
  QTest::newRow("undefined 0x9D") << QByteArray("\x9D") << QString::fromUtf8("\xC2\x9D");
  QTest::newRow("NUL inside") << QByteArray("a\0b", 3) << QString::fromUtf8("a\0b", 3);
  QTest::newRow("empty") << QByteArray() << QString();
}

void GlueTest::fromEngine() {
  QFETCH(QByteArray, bytes);
  QFETCH(QString, text);
  QCOMPARE(desk::FromEngine(bytes.toStdString()), text);
}

void GlueTest::toEngine_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QByteArray>("bytes");
  QTest::newRow("umlauts") << QString::fromUtf8("Jürgen") << QByteArray("J\xFCrgen");
  QTest::newRow("euro") << QString::fromUtf8("€") << QByteArray("\x80");
  QTest::newRow("not in 1252") << QString::fromUtf8("Łódź") << QByteArray("?\xF3" "d?");
  QTest::newRow("outside the BMP") << QString::fromUtf8("a😀b") << QByteArray("a?b");
  QTest::newRow("C1 control") << QString::fromUtf8("\xC2\x8F") << QByteArray("\x8F");
  QTest::newRow("long") << QString(5000, QChar(0xE9)) << QByteArray(5000, '\xE9');
  QTest::newRow("empty") << QString() << QByteArray();
}

void GlueTest::toEngine() {
  QFETCH(QString, text);
  QFETCH(QByteArray, bytes);
  QCOMPARE(QByteArray::fromStdString(desk::ToEngine(text)), bytes);
}

void GlueTest::everyByteRoundTrips() {
  std::string all;
  for (int b = 1; b < 256; ++b) all += char(b);
  const QString text = desk::FromEngine(all);
  QCOMPARE(text.size(), qsizetype(255));
  QCOMPARE(desk::ToEngine(text), all);
}

// --- single instance ---

void GlueTest::lockPath_data() {
  QTest::addColumn<QString>("runtimeDir");  // "ours", "shared", "" or a null string: unset
  QTest::addColumn<QString>("sessionId");
  QTest::addColumn<QString>("display");
  QTest::addColumn<QString>("wayland");
  QTest::addColumn<QString>("name");
  const QString none, ours = "ours";
  QTest::newRow("the display, not the session") << ours << "3" << ":0" << none << "Corvilink-:0";
  QTest::newRow("display without session id") << ours << none << ":1" << none << "Corvilink-:1";
  QTest::newRow("screen number") << ours << "3" << ":11.0" << none << "Corvilink-:11";
  QTest::newRow("remote display") << ours << none << "localhost:10.0" << none << "Corvilink-localhost:10";
  QTest::newRow("wayland first") << ours << "3" << ":0" << "wayland-1" << "Corvilink-wayland-1";
  QTest::newRow("session without display") << ours << "c2" << none << none << "Corvilink-c2";
  QTest::newRow("neither") << ours << none << none << none << "Corvilink";
  QTest::newRow("slashes and dots") << ours << "../../etc/passwd" << none << none
                                    << "Corvilink-..%2F..%2Fetc%2Fpasswd";
  QTest::newRow("blank, percent, umlaut") << ours << QString::fromUtf8("a b%ä") << "" << none
                                          << "Corvilink-a%20b%25%C3%A4";
  QTest::newRow("very long") << ours << QString(300, 'x') << none << none << "Corvilink-" + QString(64, 'x');
  QTest::newRow("no runtime dir") << none << "3" << ":0" << none << "Corvilink-:0";
  QTest::newRow("empty runtime dir") << "" << none << ":2" << none << "Corvilink-:2";
  QTest::newRow("runtime dir others can write") << "shared" << none << ":2" << none << "Corvilink-:2";
}

void GlueTest::lockPath() {
  QFETCH(QString, runtimeDir);
  QFETCH(QString, sessionId);
  QFETCH(QString, display);
  QFETCH(QString, wayland);
  QFETCH(QString, name);
  corvitest::TempDir runtime, program;
  chmod(runtime.path().c_str(), runtimeDir == "shared" ? 01777 : 0700);
  corvilink::SetProgramPath(program.path() + "/corvilink");
  const bool ours = runtimeDir == "ours";
  const QByteArray id = sessionId.toUtf8(), dpy = display.toUtf8(), wl = wayland.toUtf8();
  const QByteArray dir = runtimeDir.isEmpty() ? runtimeDir.toUtf8() : QByteArray(runtime.path().c_str());
  SessionEnv env(runtimeDir.isNull() ? nullptr : dir.constData(), sessionId.isNull() ? nullptr : id.constData(),
                 display.isNull() ? nullptr : dpy.constData(), wayland.isNull() ? nullptr : wl.constData());
  // Only a folder no one else can write holds the lock; else the program's.
  const std::string folder = ours ? runtime.path() : program.path();
  QCOMPARE(QString::fromStdString(desk::InstanceLockPath()), QString::fromStdString(folder + "/") + name);
  corvilink::SetProgramPath("");
}

void GlueTest::secondInstance() {
  corvitest::TempDir dir;
  SessionEnv env(dir.path().c_str(), nullptr, ":5");
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::First);
  const std::string path = desk::InstanceLockPath();
  struct stat before {};
  QCOMPARE(stat(path.c_str(), &before), 0);

  // Another process of the same session.
  const pid_t child = fork();
  if (child == 0) _exit(desk::CheckSingleInstance() == desk::Instance::Second ? 0 : 1);
  int status = 0;
  QCOMPARE(waitpid(child, &status, 0), child);
  QVERIFY(WIFEXITED(status));
  QCOMPARE(WEXITSTATUS(status), 0);
  // It wrote nothing.
  struct stat after {};
  QCOMPARE(stat(path.c_str(), &after), 0);
  QCOMPARE(after.st_size, off_t(0));
  QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

  // The same user in another session (its own display, the same runtime
  // folder) is not blocked, and holds its own lock meanwhile.
  {
    ScopedEnv otherDisplay("DISPLAY", ":6");
    // ready: the other's verdict; done: closed by us, however this test ends.
    struct Pipe {
      int fd[2] = {-1, -1};
      ~Pipe() { CloseBoth(); }
      void CloseBoth() {
        for (int& f : fd)
          if (f >= 0) close(f), f = -1;
      }
    } ready, done;
    QCOMPARE(pipe(ready.fd), 0);
    QCOMPARE(pipe(done.fd), 0);
    const pid_t other = fork();
    if (other == 0) {
      close(done.fd[1]);
      const char verdict = desk::CheckSingleInstance() == desk::Instance::First ? 'F' : 'x';
      (void)!write(ready.fd[1], &verdict, 1);
      char c;
      (void)!read(done.fd[0], &c, 1);
      _exit(0);
    }
    struct Reap {
      pid_t pid;
      Pipe& done;
      ~Reap() {
        done.CloseBoth();
        waitpid(pid, nullptr, 0);
      }
    } reap{other, done};
    char verdict = 0;
    QCOMPARE(read(ready.fd[0], &verdict, 1), ssize_t(1));
    QCOMPARE(verdict, 'F');
    // A third start on that display is the second there.
    const pid_t third = fork();
    if (third == 0) _exit(desk::CheckSingleInstance() == desk::Instance::Second ? 0 : 1);
    QCOMPARE(waitpid(third, &status, 0), third);
    QCOMPARE(WEXITSTATUS(status), 0);
  }
  {
    // A launcher that gives no session, or another one, on this display: still
    // the one window there.
    ScopedEnv otherSession("XDG_SESSION_ID", "c2");
    ScopedEnv sameDisplay("DISPLAY", ":5.0");
    const pid_t other = fork();
    if (other == 0) _exit(desk::CheckSingleInstance() == desk::Instance::Second ? 0 : 1);
    QCOMPARE(waitpid(other, &status, 0), other);
    QCOMPARE(WEXITSTATUS(status), 0);
  }

  // After the first has gone, a start is never blocked.
  desk::ReleaseSingleInstance();
  const pid_t again = fork();
  if (again == 0) _exit(desk::CheckSingleInstance() == desk::Instance::First ? 0 : 1);
  QCOMPARE(waitpid(again, &status, 0), again);
  QCOMPARE(WEXITSTATUS(status), 0);
}

void GlueTest::lockNotInherited() {
  corvitest::TempDir dir;
  SessionEnv env(dir.path().c_str());
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::First);
  const int flags = DescriptorFlagsOf(desk::InstanceLockPath());
  QVERIFY(flags >= 0);
  QVERIFY(flags & FD_CLOEXEC);
}

void GlueTest::lockRefusesLink() {
  corvitest::TempDir dir;
  SessionEnv env(dir.path().c_str());
  const std::string victim = dir.path() + "/victim";
  corvitest::WriteFile(victim, "keep");
  QCOMPARE(symlink(victim.c_str(), desk::InstanceLockPath().c_str()), 0);
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::Unguarded);
  QCOMPARE(corvitest::ReadFile(victim), std::string("keep"));
  QCOMPARE(unlink(desk::InstanceLockPath().c_str()), 0);

  // A file another user planted where ours goes (a shared /tmp), locked by
  // them: we start without a guard rather than not at all.
  if (geteuid() != 0) QSKIP("needs root to plant a file of another user");
  const std::string path = desk::InstanceLockPath();
  const int planted = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  QVERIFY(planted >= 0);
  QCOMPARE(fchown(planted, 65534, 65534), 0);
  QCOMPARE(flock(planted, LOCK_EX | LOCK_NB), 0);
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::Unguarded);
  close(planted);
}

// --- libuv in Qt ---

void GlueTest::timerFiresThroughQt() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  int fired = 0;
  auto t = uv.NewTimer([&] { ++fired; });
  t->Start(30);
  q.Rearm();
  QVERIFY(q.TimerArmed());
  QTRY_VERIFY_WITH_TIMEOUT(fired >= 3, 2000);
  t->Stop();
  q.Close();
}

void GlueTest::emptyLoopDoesNotSpin() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  auto t = uv.NewTimer([] {});
  t->Start(10);
  q.Rearm();
  QTRY_VERIFY(q.Pumps() >= 1);
  t->Stop();
  q.Pump();
  // Nothing left to wait for: no timer, and no pumping at all.
  QVERIFY(!q.TimerArmed());
  const uint64_t pumps = q.Pumps();
  QTest::qWait(200);
  QCOMPARE(q.Pumps(), pumps);
  q.Close();
}

void GlueTest::workFromSlotNeedsRearm() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  q.Pump();
  int fired = 0;
  auto t = uv.NewTimer([&] { ++fired; });
  // Started from a Qt slot: the Qt side knows nothing of it yet.
  QTimer::singleShot(0, [&] { t->Start(20); });
  QTest::qWait(150);
  QCOMPARE(fired, 0);
  // Overdue by now: armed for at once.
  q.Rearm();
  QTRY_VERIFY(fired >= 1);
  t->Stop();
  q.Close();
}

void GlueTest::wakeUpThroughNotifier() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  struct Wake {
    uv_async_t async{};
    std::atomic<int> ran{0};
  } wake;
  wake.async.data = &wake;
  QCOMPARE(uv_async_init(uv.Raw(), &wake.async,
                         [](uv_async_t* a) { static_cast<Wake*>(a->data)->ran++; }),
           0);
  // Its descriptor joins epoll on the first run.
  q.Pump();
  // No timer is due: only the descriptor can wake us.
  QVERIFY(!q.TimerArmed());
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uv_async_send(&wake.async);
  });
  QTRY_COMPARE_WITH_TIMEOUT(wake.ran.load(), 1, 2000);
  sender.join();
  uv_close(reinterpret_cast<uv_handle_t*>(&wake.async), nullptr);
  q.Pump();
  q.Close();
}

void GlueTest::noNestedRun() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  bool pumpingInside = false;
  uint64_t before = 0, after = 0;
  int fired = 0;
  std::unique_ptr<plat::LoopTimer> t;
  t = uv.NewTimer([&] {
    ++fired;
    t->Stop();
    pumpingInside = q.Pumping();
    before = q.Pumps();
    q.Pump();
    q.Rearm();
    after = q.Pumps();
  });
  t->Start(5);
  q.Rearm();
  QTRY_COMPARE(fired, 1);
  QVERIFY(pumpingInside);
  QCOMPARE(after, before);
  QVERIFY(!q.Pumping());
  q.Close();
}

void GlueTest::errorBoxWaitsForPump() {
  plat::UvLoop uv;
  desk::QtLoop q(uv.Raw());
  const auto saved = corvilink::ApplicationHandleException;
  desk::InstallDefaultErrorHandling(&q);

  plat::Timer engineTimer(uv, false, 10);
  engineTimer.OnError = [](const std::exception& e) { corvilink::ApplicationHandleException(e); };
  int thrown = 0, boxesSeen = 0;
  engineTimer.SetOnTimer([&] {
    // The later two come while the first one's box is open.
    if (++thrown == 3) engineTimer.SetEnabled(false);
    throw std::runtime_error("Zugriff verweigert: \xE4");
  });
  bool seen = false, pumpingWhileShown = true;
  QString shown;
  QTimer watch;
  watch.setInterval(5);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || thrown < 3) return;
    for (QWidget* w : QApplication::topLevelWidgets()) boxesSeen += w->isVisible() && qobject_cast<QMessageBox*>(w);
    seen = true;
    pumpingWhileShown = q.Pumping();
    shown = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  watch.start();
  engineTimer.SetEnabled(true);
  q.Rearm();
  QTRY_VERIFY_WITH_TIMEOUT(seen, 3000);
  QVERIFY(!pumpingWhileShown);
  QCOMPARE(shown, QString::fromUtf8("Zugriff verweigert: ä"));
  QCOMPARE(boxesSeen, 1);
  corvilink::ApplicationHandleException(std::runtime_error("danach"));  // closed: the next one has its own
  QCOMPARE(shown, QStringLiteral("danach"));
  corvilink::ApplicationHandleException = saved;
  q.Close();
}

QTEST_MAIN(GlueTest)
#include "GlueTest.moc"

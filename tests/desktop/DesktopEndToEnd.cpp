// The desktop program against the test service inside the private namespace,
// on a real X server (Xvfb) with a tray host (trayer), driven by real input
// events (xdotool). Screenshots of each page land in the artifacts folder.
#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CaptionFit.h"
#include "CorvilinkClient.h"
#include "CorvilinkMain.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "QtLoop.h"
#include "TestService.h"
#include "Twice.h"
#include "UvLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

using namespace corvilink;
using corvitest::Action;
using corvitest::Server;

namespace {

const std::string kReply = "IP:198.51.100.77 DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n";

pid_t Spawn(const std::vector<std::string>& argv, const std::string& log, int keepFd = -1) {
  // Everything allocated before fork: Qt's threads may hold the heap's lock.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
  execvp(args[0], args.data());
  _exit(127);
}

void End(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// The exit status of pid within `ms`, or -1 (then it is killed).
int WaitExit(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(20 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Xvfb on a free display, and a tray host on it; the first one started is
// this process's display.
class XSession {
public:
  bool Start(const std::string& logDir, bool current = true) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", "-noreset"},
                  logDir + (current ? "/xvfb.log" : "/xvfb-other.log"), fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&p, 1, 15000) == 1) {
      char buf[16];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, size_t(n));
    }
    close(fds[0]);
    if (number.empty()) return false;
    display = ":" + number.substr(0, number.find('\n'));
    if (!current) return true;
    setenv("DISPLAY", display.c_str(), 1);
    tray_ = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                   "96", "--height", "36", "--SetDockType", "false", "--transparent", "false"},
                  logDir + "/trayer.log");
    return true;
  }
  ~XSession() {
    End(tray_);
    End(xvfb_);
  }
  std::string display;

private:
  pid_t xvfb_ = -1, tray_ = -1;
};

std::string g_artifacts;

// Its exit code; what it prints is dropped.
int Run(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  if (!p.waitForFinished(60000)) return -1;
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

int Xdotool(const QStringList& args) { return Run(QStringLiteral("xdotool"), args); }

void ClickAt(const QPoint& global, int clicks = 1) {
  QStringList args = {QStringLiteral("mousemove"), QString::number(global.x()),
                      QString::number(global.y()), QStringLiteral("click")};
  if (clicks > 1) args << QStringLiteral("--repeat") << QString::number(clicks)
                       << QStringLiteral("--delay") << QStringLiteral("100");
  args << QStringLiteral("1");
  QCOMPARE(Xdotool(args), 0);
}

void Click(QWidget* w) { ClickAt(w->mapToGlobal(w->rect().center())); }

void Screenshot(const QString& name, const QRect& area) {
  // Let the window paint what the test just changed.
  QTest::qWait(300);
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  QVERIFY(shot.save(QString::fromStdString(g_artifacts) + "/" + name + ".png"));
}

// What `program args` prints, or an empty text.
QString Output(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(60000)) return QString();
  return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
}

// The visible top-level windows of a process on this display.
QStringList VisibleWindowsOf(pid_t pid) {
  const QString found = Output(QStringLiteral("xdotool"),
                               {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                QStringLiteral("--pid"), QString::number(pid)});
  return found.isEmpty() ? QStringList() : found.split('\n');
}

// The first visible window titled exactly `title` on this display, waited
// for up to 30 s; empty if none came.
QString WaitForWindow(const QString& title) {
  return Output(QStringLiteral("timeout"),
                {QStringLiteral("30"), QStringLiteral("xdotool"), QStringLiteral("search"),
                 QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                 "^" + title + "$"})
      .split('\n')
      .first();
}

// The text of a message box, as a person copies it: a click into the text,
// select all, copy. The box keeps the focus.
QString CopyText(const QString& window) {
  QMap<QString, int> at;
  const QString shell = Output(QStringLiteral("xdotool"),
                               {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
  for (const QString& line : shell.split('\n')) at[line.section('=', 0, 0)] = line.section('=', 1).toInt();
  if (at.value(QStringLiteral("WIDTH")) <= 0) return QString();
  QGuiApplication::clipboard()->clear();
  Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
  ClickAt(QPoint(at[QStringLiteral("X")] + at[QStringLiteral("WIDTH")] / 2,
                 at[QStringLiteral("Y")] + at[QStringLiteral("HEIGHT")] / 4));
  Xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("100"),
           QStringLiteral("ctrl+a"), QStringLiteral("ctrl+c")});
  QString text;
  for (int i = 0; i < 50 && text.isEmpty(); ++i) {
    QTest::qWait(100);
    text = QGuiApplication::clipboard()->text();
  }
  return text;
}

// The names in a folder.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace

class DesktopEndToEnd : public QObject {
  Q_OBJECT

public:
  void SetOtherDisplay(const std::string& display) { otherDisplay = display; }

private slots:
  void initTestCase();
  void addressAndLastUpdateAppear();
  void updateNowReachesTheService();
  void logAndInformationPages();
  void hideAndShowThroughTheTray();
  void oneInstancePerSession();
  void unwritableFolderTellsOnce();
  void cleanupTestCase();

private:
  QRect WindowArea() const { return QRect(form->mapToGlobal(QPoint(0, 0)), form->size()); }
  void ShowPage(int index) {
    QTabBar* bar = form->PageControl1->tabBar();
    const QRect tab = bar->tabRect(index);
    ClickAt(bar->mapToGlobal(tab.center()));
    QTRY_COMPARE(form->PageControl1->currentIndex(), index);
  }

  std::unique_ptr<corvitest::TempDir> programDir, lockDir;
  std::string otherDisplay;
  std::unique_ptr<corvitest::TestService> svc;
  std::unique_ptr<plat::UvLoop> uv;
  std::unique_ptr<desk::QtLoop> qtLoop;
  std::unique_ptr<TCorvilinkC> engine;
  std::unique_ptr<desk::TMainForm> form;
};

void DesktopEndToEnd::initTestCase() {
  programDir = std::make_unique<corvitest::TempDir>();
  lockDir = std::make_unique<corvitest::TempDir>();
  setenv("XDG_RUNTIME_DIR", lockDir->path().c_str(), 1);
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::First);

  svc = std::make_unique<corvitest::TestService>(CORVILINK_TESTSERVICE_BIN,
                                                 g_artifacts + "/testservice.log");
  svc->Start();
  svc->Script(Server::Update, corvitest::TestService::kEvery, Action::Reply(kReply));
  svc->Script(Server::Ip, corvitest::TestService::kEvery, Action::Reply("198.51.100.77\n"));

  Values = {};
  SetProgramPath(programDir->path() + "/corvilink");
  plat::SetVersionBlock(&kDesktopVersion);
  corvitest::WriteFile(programDir->path() + "/corvilink.ini",
                       "[ACCOUNT]\r\nAccount=tester\r\nDomain=corvilink.example\r\n"
                       "Passwd=e10adc3949ba59abbe56e057f20f883e\r\nLanguage=D\r\n"
                       "[LOGGING]\r\nLevel=40\r\n");

  // As the program does it.
  uv = std::make_unique<plat::UvLoop>();
  qtLoop = std::make_unique<desk::QtLoop>(uv->Raw());
  desk::InstallDefaultErrorHandling(qtLoop.get());
  engine = std::make_unique<TCorvilinkC>(*uv);
  form = std::make_unique<desk::TMainForm>(*engine, 0, [this] { qtLoop->Rearm(); });
  form->show();
  qtLoop->Pump();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  QCOMPARE(form->windowTitle(), QStringLiteral("Corvilink-Poster GUI 4.6"));
}

void DesktopEndToEnd::addressAndLastUpdateAppear() {
  QTRY_COMPARE_WITH_TIMEOUT(form->lbIPAddress->text(), QStringLiteral("198.51.100.77"), 20000);
  QTRY_VERIFY(!form->lbLastUpdate->text().isEmpty());
  QCOMPARE(form->lbTarif->text(), QStringLiteral("Private A"));
  QCOMPARE(form->lbHostName->text(), QStringLiteral("tester.corvilink.example"));
  // The font the X server's fontconfig gives: captions fit, with the values shown.
  const QStringList problems = layout::AllProblems(form.get());
  QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
  QVERIFY(!svc->Events(Server::Update).empty());
  Screenshot(QStringLiteral("page0-status"), WindowArea());
}

void DesktopEndToEnd::updateNowReachesTheService() {
  ShowPage(1);
  QCOMPARE(form->txtAccount->text(), QStringLiteral("tester"));
  QCOMPARE(form->txtLastSetIP->text(), form->lbLastUpdate->text());
  Screenshot(QStringLiteral("page1-settings"), WindowArea());
  const size_t before = svc->Events(Server::Update).size();
  // The next regular update is a minute away (SI:60).
  Click(form->btnLastSetIP);
  QTRY_VERIFY_WITH_TIMEOUT(svc->Events(Server::Update).size() > before, 3000);
  QCOMPARE(svc->Events(Server::Update).back().Field("Account"), std::optional<std::string>("tester"));
}

void DesktopEndToEnd::logAndInformationPages() {
  ShowPage(2);
  QVERIFY(form->lstLogs->count() > 0);
  QVERIFY(form->lstLogs->count() <= 25);
  Screenshot(QStringLiteral("page2-log"), WindowArea());
  ShowPage(3);
  QCOMPARE(form->lbVersion->text(), QStringLiteral("Corvilink-Poster GUI 4.6.0.100"));
  Screenshot(QStringLiteral("page3-information"), WindowArea());
  ShowPage(0);
}

void DesktopEndToEnd::hideAndShowThroughTheTray() {
  QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
  QTRY_VERIFY_WITH_TIMEOUT(form->TrayIcon->geometry().isValid(), 10000);
  const QScreen* screen = QGuiApplication::primaryScreen();
  Screenshot(QStringLiteral("screen-with-tray"), screen->geometry());
  const QPoint icon = form->TrayIcon->geometry().center();
  ClickAt(icon, 2);
  QTRY_VERIFY(!form->isVisible());
  // The refresh goes on while hidden.
  Values.LogSlot[19] = "Info!    while hidden";
  QTRY_VERIFY(Values.LogSlot[19].empty());
  ClickAt(icon, 2);
  QTRY_VERIFY(form->isVisible());
  QVERIFY(!(form->windowState() & Qt::WindowMinimized));
}

void DesktopEndToEnd::oneInstancePerSession() {
  // A program directory of its own, holding nothing but the program.
  corvitest::TempDir second;
  const std::string program = second.path() + "/corvilink";
  std::filesystem::copy_file(CORVILINK_DESKTOP_BIN, program);
  chmod(program.c_str(), 0755);
  // In the tray meanwhile: without a window manager nothing would stack the
  // message box above it for the screenshot.
  form->HideMainWindow();
  const pid_t pid = Spawn({program}, g_artifacts + "/second-instance.log");
  const QString window = WaitForWindow(QStringLiteral("Corvilink"));
  QVERIFY(!window.isEmpty());
  QCOMPARE(Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}), 0);
  // The other process, under the sanitizers too, takes a moment to paint.
  QTest::qWait(1500);
  Screenshot(QStringLiteral("second-instance"), QGuiApplication::primaryScreen()->geometry());
  QCOMPARE(Xdotool({QStringLiteral("key"), QStringLiteral("Return")}), 0);
  QCOMPARE(WaitExit(pid, 20000), 0);
  QCOMPARE(Listing(second.path()), std::vector<std::string>{"corvilink"});
  // The running one was not disturbed.
  QVERIFY(!form->isVisible());
  QCOMPARE(desk::CheckSingleInstance(), desk::Instance::Second);
  form->ShowMainWindow();
  QTRY_VERIFY(form->isVisible());

  // The same user on another display, another login session: it starts,
  // with the same runtime folder, while this one runs.
  pid_t other = Spawn({"env", "DISPLAY=" + otherDisplay, program}, g_artifacts + "/other-display.log");
  const QString otherWindow =
      Output(QStringLiteral("env"),
             {"DISPLAY=" + QString::fromStdString(otherDisplay), QStringLiteral("timeout"),
              QStringLiteral("30"), QStringLiteral("xdotool"), QStringLiteral("search"),
              QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
              QStringLiteral("^Corvilink-Poster GUI 4.6$")});
  int status = 0;
  const bool stillRunning = waitpid(other, &status, WNOHANG) == 0;
  End(other);
  QVERIFY2(!otherWindow.isEmpty(), "no main window on the other display");
  QVERIFY(stillRunning);
}

void DesktopEndToEnd::unwritableFolderTellsOnce() {
  // Installed by root where the person starting it can't write.
  corvitest::TempDir installed;
  chmod(installed.path().c_str(), 0755);
  const std::string program = installed.path() + "/corvilink";
  std::filesystem::copy_file(CORVILINK_DESKTOP_BIN, program);
  chmod(program.c_str(), 0755);
  // That person's own runtime folder, as a login gives it.
  corvitest::TempDir runtime;
  QCOMPARE(chown(runtime.path().c_str(), 65534, 65534), 0);
  const std::vector<std::string> asThatPerson = {
      "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
      "XDG_RUNTIME_DIR=" + runtime.path(), "HOME=" + runtime.path(), program};
  // Nothing stacks the box above our window here: ours goes to the tray.
  form->HideMainWindow();
  struct Cleanup {
    desk::TMainForm* form;
    pid_t first = -1, second = -1;
    ~Cleanup() {
      End(second);
      End(first);
      form->ShowMainWindow();
    }
  } started{form.get()};

  started.first = Spawn(asThatPerson, g_artifacts + "/unwritable-folder.log");
  const QString box = WaitForWindow(QStringLiteral("Corvilink"));
  QVERIFY(!box.isEmpty());
  // A while longer: the engine's timers would have opened more by now.
  QTest::qWait(3000);
  QCOMPARE(VisibleWindowsOf(started.first), QStringList{box});
  Screenshot(QStringLiteral("unwritable-folder"), QGuiApplication::primaryScreen()->geometry());
  const QString text = CopyText(box);
  QVERIFY2(text.contains(QString::fromStdString(installed.path())), qPrintable(text));
  QVERIFY2(text.contains(QStringLiteral("sudo ./corvilinkd -install")), qPrintable(text));
  QVERIFY2(text.contains(QStringLiteral("~/corvilink")), qPrintable(text));

  // Started again meanwhile, it is the second instance, and says so.
  started.second = Spawn(asThatPerson, g_artifacts + "/unwritable-folder-second.log");
  QStringList secondBox;
  for (int i = 0; i < 300 && secondBox.isEmpty(); ++i) {
    QTest::qWait(100);
    secondBox = VisibleWindowsOf(started.second);
  }
  QCOMPARE(secondBox.size(), 1);
  QVERIFY(CopyText(secondBox[0]).contains(QString::fromUtf8("Anwendung läuft bereits.")));
  QCOMPARE(Xdotool({QStringLiteral("key"), QStringLiteral("Return")}), 0);
  QCOMPARE(WaitExit(started.second, 20000), 0);
  started.second = -1;

  QCOMPARE(Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), box}), 0);
  QCOMPARE(Xdotool({QStringLiteral("key"), QStringLiteral("Return")}), 0);
  QCOMPARE(WaitExit(started.first, 20000), 1);
  started.first = -1;
  // Nothing was written: no log, no settings.
  QCOMPARE(Listing(installed.path()), std::vector<std::string>{"corvilink"});
}

void DesktopEndToEnd::cleanupTestCase() {
  if (qtLoop) qtLoop->Close();
  form.reset();
  engine.reset();
  if (uv) uv->Shutdown();
  ApplicationHandleException = [](const std::exception&) {};
  if (svc) QCOMPARE(svc->Stop(), 0);
  desk::ReleaseSingleInstance();
  SetProgramPath("");
  plat::SetVersionBlock(nullptr);
}

int main(int argc, char* argv[]) {
  const char* netns = std::getenv("CORVILINK_NETNS");
  if (netns == nullptr || std::string(netns) != "1") {
    std::fprintf(stderr, "desktop end-to-end: runs only inside the private namespace "
                         "(scripts/isolate); CORVILINK_NETNS is not 1\n");
    return 1;
  }
  g_artifacts = CORVILINK_ARTIFACTS;
  std::filesystem::create_directories(g_artifacts);
  // Each display is a login session of its own here.
  unsetenv("XDG_SESSION_ID");
  XSession x, other;
  if (!x.Start(g_artifacts) || !other.Start(g_artifacts, false)) {
    std::fprintf(stderr, "desktop end-to-end: Xvfb did not start\n");
    return 1;
  }
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  DesktopEndToEnd test;
  test.SetOtherDisplay(other.display);
  return QTest::qExec(&test, argc, argv);
}

#include "DesktopEndToEnd.moc"

// corvilink: the desktop program. One per user session; the engine runs on
// libuv inside Qt's event loop, all on this one thread.
#include <QApplication>

#include <clocale>
#include <exception>
#include <memory>

#include "CorvilinkClient.h"
#include "CorvilinkMain.h"
#include "CorvilinkProcedures.h"
#include "Cp1252.h"
#include "QtLoop.h"
#include "Twice.h"
#include "UvLoop.h"
#include "VersionBlock.h"
#include "Versions.h"

int main(int argc, char* argv[]) {
  plat::SetVersionBlock(&corvilink::kDesktopVersion);
  // The log's date and time follow the user's formats.
  std::setlocale(LC_ALL, "");
  // Counted before Qt takes its own options off the command line.
  const int argumentCount = argc - 1;

  if (desk::CheckSingleInstance() == desk::Instance::Second) {
    QApplication app(argc, argv);
    desk::ShowAlreadyRunning();
    return 0;
  }

  {
    QApplication app(argc, argv);
    // The window hides into the tray; a message box closing then is no end.
    QApplication::setQuitOnLastWindowClosed(false);

    plat::UvLoop uv;
    desk::QtLoop qtLoop(uv.Raw());
    desk::InstallDefaultErrorHandling(&qtLoop);
    try {
      auto engine = std::make_unique<corvilink::TCorvilinkC>(uv);
      auto form = std::make_unique<desk::TMainForm>(argumentCount, [&qtLoop] { qtLoop.Rearm(); });
      QObject::connect(form.get(), &desk::TMainForm::closed, &app, &QApplication::quit,
                       Qt::QueuedConnection);
      auto proc = std::make_unique<corvilink::TCorvilinkProc>();
      form->show();
      // libuv's own wake-up descriptor joins epoll on its first run.
      qtLoop.Pump();
      QApplication::exec();

      qtLoop.Close();
      form.reset();
      engine.reset();
    } catch (const std::exception& e) {
      // Only the creation of the objects can get here.
      qtLoop.Close();
      desk::ShowErrorMessage(desk::FromEngine(e.what()));
    }
    corvilink::ApplicationHandleException = [](const std::exception&) {};
    uv.Shutdown();
  }
  desk::ReleaseSingleInstance();
  return 0;
}

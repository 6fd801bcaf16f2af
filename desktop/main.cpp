// corvilink: the desktop program. One per user session; the engine runs on
// libuv inside Qt's event loop, all on this one thread.
#include <QApplication>
#include <QFile>
#include <QMessageBox>

#include <fcntl.h>
#include <unistd.h>

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
#include "dtools.h"

namespace {

// The settings, the log and the marker files live beside the program.
bool CanWriteFolder(const std::string& folder) {
  return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// German, as the guard's message: no language setting has been read yet.
void ShowCannotWriteFolder(const std::string& folder) {
  const QString text =
      QString::fromUtf8("Corvilink hat keine Schreibrechte in seinem Ordner:\n\n%1\n\n"
                        "Dort legt das Programm seine Einstellungen und sein Protokoll ab. "
                        "Installieren Sie corvilink und corvilinkd zusammen in einem Ordner, "
                        "der Ihnen gehört, zum Beispiel ~/corvilink, und richten Sie den Dienst "
                        "von dort aus ein:\n\nsudo ./corvilinkd -install")
          .arg(QFile::decodeName(folder.c_str()));
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Corvilink"), text, QMessageBox::Ok);
  box.exec();
}

}  // namespace

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

  // After the guard, so that a second start is told it is one wherever it
  // stands; before the engine, whose every log line would fail here.
  const std::string folder = corvilink::AppDirectory();
  if (!CanWriteFolder(folder)) {
    {
      QApplication app(argc, argv);
      ShowCannotWriteFolder(folder);
    }
    desk::ReleaseSingleInstance();
    return 1;
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
      auto form =
          std::make_unique<desk::TMainForm>(*engine, argumentCount, [&qtLoop] { qtLoop.Rearm(); });
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

// TMainForm: the desktop program's one window. Four pages show the engine
// running in the same process and carry the settings; a tray icon keeps the
// program reachable while the window is hidden.
#pragma once

#include <QSystemTrayIcon>
#include <QWidget>

#include <exception>
#include <functional>
#include <string>

#include "Endpoints.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;

namespace corvilink {
class TCorvilinkC;
}

namespace desk {

class QtLoop;

// The web pages behind the window's texts, links and logos.
namespace web = corvilink::endpoints::web;

// The texts lbMess shows for the account-error states, as the engine's bytes.
std::string ConfigErrorText(bool german);
std::string DeactivatedText(bool german);

class TMainForm : public QWidget {
  Q_OBJECT

public:
  // engine: the program's engine, which outlives the window.
  // argumentCount: the command line's arguments, the program not counted.
  // afterEngineCalls runs after every handler, which may have changed engine
  // timers (the Qt loop re-arms itself there).
  TMainForm(corvilink::TCorvilinkC& engine, int argumentCount,
            std::function<void()> afterEngineCalls = {}, QWidget* parent = nullptr);
  ~TMainForm() override;

  // --- handlers, in the order they are bound ---
  void FormCreate();
  void StatusTimerTimer();
  void ApplyLanguage(const std::string& code);
  void TrayIconDblClick();
  void itemExitClick();
  void StateSheetShow();
  void chkOfflineClick();
  void ConfigSheetShow();
  void btnSaveConfigClick();
  void btnLastSetIPClick();
  void btnCheckIPClick();
  void cbLanguageEnter();
  void cbLanguageExit();
  void InfoSheetShow();
  void CorvilinkURLClick();
  void lbZemURLMouseEnter();
  void lbZemURLMouseLeave();
  void lbZemURLClick();

  // --- the tray icon's operations ---
  void ShowMainWindow();
  void HideMainWindow();
  // Title cut to 63 characters, text to 255; an empty text takes a balloon down.
  void ShowBalloon(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                   int seconds);

  // --- components ---
  QTimer* StatusTimer;
  QSystemTrayIcon* TrayIcon;
  QMenu* TrayPopupMenu;
  QAction* N1;
  QAction* itemExit;

  QStatusBar* StatusBar;
  QTabWidget* PageControl1;

  QWidget* StateSheet;
  QWidget* Image3;
  QGroupBox* gbAccountInfo;
  QLabel* lbIHostname;
  QLabel* lbHostName;
  QLabel* lbIActualIP;
  QLabel* lbActualIP;
  QLabel* lbILastUpdate;
  QLabel* lbLastUpdate;
  QLabel* lbITariff;
  QLabel* lbTarif;
  QCheckBox* chkOffline;
  QLabel* lbIPAddress;
  QLabel* lbMess;

  QWidget* ConfigSheet;
  QGroupBox* gbLanguage;
  QLabel* lbLanguage;
  QComboBox* cbLanguage;
  QGroupBox* gbLogVele;
  QLabel* Label3;
  QComboBox* cbLogging;
  QGroupBox* gbAccountData;
  QLabel* lbAccount;
  QLabel* lbDomain;
  QLabel* lbPassword;
  QLineEdit* txtAccount;
  QLineEdit* txtDomain;
  QLineEdit* txtPassword;
  QWidget* Image5;
  QGroupBox* gbLastSetIP;
  QLabel* lbLastSetIP;
  QLineEdit* txtLastSetIP;
  QPushButton* btnLastSetIP;
  QGroupBox* gbLastIPDetect;
  QLabel* lbLastKnownIP;
  QLineEdit* txtActualIP;
  QLabel* lbIPDetected;
  QLineEdit* txtLastIPDetect;
  QPushButton* btnCheckIP;
  QPushButton* btnSaveConfig;

  QWidget* LogsSheet;
  QListWidget* lstLogs;

  QWidget* InfoSheet;
  QLabel* lbVersion;
  QWidget* Image4;
  QGroupBox* GroupBox11;
  QLabel* lbZemURL;

  // The server message last handed to the balloon (engine bytes).
  std::string LastBalloonText;

signals:
  // The window was closed: the program ends.
  void closed();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

  // The tray component's balloon, and the browser; replaced in tests.
  virtual void ShowBalloonHint(const QString& title, const QString& text,
                               QSystemTrayIcon::MessageIcon icon, int milliseconds);
  virtual void OpenUrl(const QString& url);

private:
  void CreateControls();
  // One page each, in tab order.
  void CreateStateSheet();
  void CreateConfigSheet();
  void CreateLogsSheet();
  void CreateInfoSheet();
  void BindEvents();
  // Runs a handler as the window's event: an escaping error goes to the
  // application's default handling, and the loop is re-armed either way.
  void Handle(const std::function<void()>& handler);

  corvilink::TCorvilinkC& engine_;
  std::function<void()> afterEngineCalls_;
  int argumentCount_;
};

// The window's default handling of an error that escapes a handler: its
// message in a message box, and the program goes on. While libuv callbacks
// run (loop->Pumping()) the box waits until they have returned. One box at a
// time: what fails while one is open shows none.
void InstallDefaultErrorHandling(QtLoop* loop);
void ShowErrorMessage(const QString& text);

}  // namespace desk

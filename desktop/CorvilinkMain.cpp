#include "CorvilinkMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <stdexcept>

#include "Common.h"
#include "ControlStyle.h"
#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "Cp1252.h"
#include "Endpoints.h"
#include "IniFile.h"
#include "Md5.h"
#include "Pictures.h"
#include "QtLoop.h"
#include "dtools.h"

namespace desk {

using namespace corvilink;

namespace {

// Windows' default of the active caption's gradient colour, and its red.
const QColor kGradientActiveCaption(0xB9, 0xD1, 0xEA);
const QColor kRed(0xFF, 0x00, 0x00);

// A label shows CR LF (or a lone CR) as one line break.
QString Lines(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Assigning what a control already shows must change nothing: no repaint,
// and a selection in a display field survives.
void SetText(QLabel* l, const QString& text) {
  if (l->text() == text) return;
  l->setText(text);
  if (l->property("autoSize").toBool()) l->resize(l->sizeHint());
}
void SetText(QLineEdit* e, const QString& text) {
  if (e->text() == text) return;
  e->setText(text);
  // A text wider than the field shows from its start, as an edit control's does.
  e->setCursorPosition(0);
}
void SetText(QAbstractButton* b, const QString& text) {
  if (b->text() != text) b->setText(text);
}
void SetText(QGroupBox* g, const QString& text) {
  if (g->title() != text) g->setTitle(text);
}
void SetTabText(QTabWidget* t, int index, const QString& text) {
  if (t->tabText(index) != text) t->setTabText(index, text);
}

// Every item 13 pixels high, so that 25 lines fill the list.
class FixedRowDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(13);
    return s;
  }
};

template <typename T>
T* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
  T* c = new T(parent);
  c->setObjectName(QString::fromLatin1(name));
  c->setGeometry(x, y, w, h);
  return c;
}

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, int w, int h,
                  const QString& caption, bool fixedSize) {
  QLabel* l = Make<QLabel>(parent, name, x, y, w, h);
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setWordWrap(false);
  l->setText(caption);
  if (!fixedSize) {
    l->setProperty("autoSize", true);
    l->resize(l->sizeHint());
  }
  return l;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, int x, int y, int w, int h,
                     const QString& caption) {
  QGroupBox* g = Make<QGroupBox>(parent, name, x, y, w, h);
  g->setTitle(caption);
  return g;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int h) {
  return Make<QLineEdit>(parent, name, x, y, w, h);
}

// A display field: button-face colour, still editable and selectable.
QLineEdit* MakeDisplayEdit(QWidget* parent, const char* name, int x, int y, int w, int h) {
  QLineEdit* e = MakeEdit(parent, name, x, y, w, h);
  QPalette pal = e->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  e->setPalette(pal);
  return e;
}

QPushButton* MakeButton(QWidget* parent, const char* name, int x, int y, int w, int h,
                        const QString& caption) {
  QPushButton* b = Make<QPushButton>(parent, name, x, y, w, h);
  b->setText(caption);
  return b;
}

}  // namespace

std::string ConfigErrorText(bool german) {
  const std::string crlf = "\r\n";
  if (german)
    return "Kontrollieren Sie bitte Ihre Account-Konfiguration" + crlf +
           "und korrigieren Sie diese bitte gegebenenfalls." + crlf + crlf +
           "Haben Sie Ihr Passwort korrekt eingegeben?" + crlf +
           "Haben Sie es vergessen, hilft " + web::kPasswordReset + crlf + crlf +
           "Weitere Infos finden Sie auch auf " + web::kAccountPageDe + crlf;
  return "Please check your account configuration" + crlf + "Please have a look at " +
         web::kAccountPageEn + crlf;
}

std::string DeactivatedText(bool german) {
  const std::string crlf = "\r\n";
  if (german)
    return "Die Account-Aktualisieurng war nicht erfolgreich." + crlf +
           "Ist Ihr Vertrag m\xF6glicherweise ausgelaufen?" + crlf +
           "Weitere Infos finden Sie auch auf " + web::kAccountPageDe + crlf;
  return "Please check your account configuration" + crlf + "Please have a look at " +
         web::kAccountPageEn + crlf + crlf + "Has your contract been finished?";
}

TMainForm::TMainForm(TCorvilinkC& engine, int argumentCount,
                     std::function<void()> afterEngineCalls, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      engine_(engine),
      afterEngineCalls_(std::move(afterEngineCalls)),
      argumentCount_(argumentCount) {
  setObjectName(QStringLiteral("MainForm"));
  CreateControls();
  BindEvents();
  Handle([this] { FormCreate(); });
}

TMainForm::~TMainForm() = default;

void TMainForm::CreateControls() {
  // The layout was made for that font's narrow glyphs. The family fontconfig
  // finds for it is wider: its condensed cut one pixel smaller keeps every
  // caption within its control, in both languages.
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(10);
  font.setStretch(QFont::SemiCondensed);
  setFont(font);
  setFixedSize(455, 428);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(455 / 2, 428 / 2));
  }
  setWindowIcon(TrayIconPicture());

  StatusTimer = new QTimer(this);
  StatusTimer->setObjectName(QStringLiteral("StatusTimer"));
  StatusTimer->setInterval(100);

  TrayPopupMenu = new QMenu(this);
  TrayPopupMenu->setObjectName(QStringLiteral("TrayPopupMenu"));
  // The menu opens with its separator; Qt would drop a leading one.
  TrayPopupMenu->setSeparatorsCollapsible(false);
  N1 = TrayPopupMenu->addSeparator();
  N1->setObjectName(QStringLiteral("N1"));
  itemExit = TrayPopupMenu->addAction(QStringLiteral("Beenden"));
  itemExit->setObjectName(QStringLiteral("itemExit"));
  TrayIcon = new QSystemTrayIcon(TrayIconPicture(), this);
  TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
  TrayIcon->setContextMenu(TrayPopupMenu);

  StatusBar = Make<QStatusBar>(this, "StatusBar", 0, 406, 455, 22);
  StatusBar->setSizeGripEnabled(false);
  PageControl1 = Make<QTabWidget>(this, "PageControl1", 4, 8, 445, 393);

  CreateStateSheet();
  CreateConfigSheet();
  CreateLogsSheet();
  CreateInfoSheet();

  // Made after the pages, so that it outlives the two controls when the
  // window's children are destroyed.
  auto* controlStyle = new ControlStyle;
  controlStyle->setParent(this);
  chkOffline->setStyle(controlStyle);
  txtPassword->setStyle(controlStyle);

  PageControl1->setCurrentIndex(0);
  StatusTimer->start();
  TrayIcon->show();
}

void TMainForm::CreateStateSheet() {
  StateSheet = new QWidget;
  StateSheet->setObjectName(QStringLiteral("StateSheet"));
  PageControl1->addTab(StateSheet, QStringLiteral("Status"));
  Image3 = Make<LogoImage>(StateSheet, "Image3", 94, 0, 250, 57);
  gbAccountInfo = MakeGroup(StateSheet, "gbAccountInfo", 4, 47, 429, 89,
                            QStringLiteral("Account Informationen"));
  lbIHostname = MakeLabel(gbAccountInfo, "lbIHostname", 8, 20, 51, 13, U("Hostname:"), false);
  lbHostName = MakeLabel(gbAccountInfo, "lbHostName", 68, 20, 349, 13, U("Unbekannt"), true);
  lbIActualIP = MakeLabel(gbAccountInfo, "lbIActualIP", 8, 40, 54, 13, U("Aktuelle IP:"), false);
  lbActualIP = MakeLabel(gbAccountInfo, "lbActualIP", 68, 40, 117, 13, U("0.0.0.0"), true);
  lbILastUpdate = MakeLabel(gbAccountInfo, "lbILastUpdate", 208, 40, 101, 13,
                            U("Letzte Aktualisierung:"), false);
  lbLastUpdate = MakeLabel(gbAccountInfo, "lbLastUpdate", 316, 40, 53, 13, U("Unbekannt"), false);
  lbITariff = MakeLabel(gbAccountInfo, "lbITariff", 8, 64, 24, 13, U("Tarif:"), false);
  lbTarif = MakeLabel(gbAccountInfo, "lbTarif", 68, 64, 349, 13, U("Unbekannt"), true);
  chkOffline = Make<QCheckBox>(gbAccountInfo, "chkOffline", 332, 64, 85, 13);
  chkOffline->setText(U("Offline Modus"));
  chkOffline->setLayoutDirection(Qt::RightToLeft);  // caption left of the box
  lbIPAddress = MakeLabel(StateSheet, "lbIPAddress", 4, 141, 429, 45, U("255.255.255.255"), true);
  lbIPAddress->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  {
    QFont big(QStringLiteral("Arial Black"));
    big.setPixelSize(40);
    big.setWeight(QFont::Bold);
    lbIPAddress->setFont(big);
    QPalette pal = lbIPAddress->palette();
    pal.setColor(QPalette::WindowText, kGradientActiveCaption);
    lbIPAddress->setPalette(pal);
  }
  lbMess = MakeLabel(StateSheet, "lbMess", 4, 200, 429, 157, QString(), true);
  lbMess->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  {
    // One pixel smaller, as the window's font, so the longest line fits.
    QFont mess(QStringLiteral("MS Sans Serif"));
    mess.setPixelSize(12);
    mess.setStretch(QFont::SemiCondensed);
    mess.setWeight(QFont::Bold);
    lbMess->setFont(mess);
    QPalette pal = lbMess->palette();
    pal.setColor(QPalette::WindowText, kRed);
    lbMess->setPalette(pal);
  }
}

void TMainForm::CreateConfigSheet() {
  ConfigSheet = new QWidget;
  ConfigSheet->setObjectName(QStringLiteral("ConfigSheet"));
  PageControl1->addTab(ConfigSheet, U("Einstellungen"));
  gbLanguage = MakeGroup(ConfigSheet, "gbLanguage", 4, 8, 200, 57, U("Sprache"));
  lbLanguage = MakeLabel(gbLanguage, "lbLanguage", 8, 24, 43, 13, U("Sprache:"), false);
  cbLanguage = Make<QComboBox>(gbLanguage, "cbLanguage", 64, 20, 89, 21);
  cbLanguage->addItems({U("Deutsch"), U("English")});
  cbLanguage->setCurrentIndex(0);
  gbLogVele = MakeGroup(ConfigSheet, "gbLogVele", 232, 8, 200, 57, U("Logging"));
  Label3 = MakeLabel(gbLogVele, "Label3", 8, 24, 29, 13, U("Level:"), false);
  cbLogging = Make<QComboBox>(gbLogVele, "cbLogging", 64, 20, 89, 21);
  cbLogging->setEditable(true);
  cbLogging->setInsertPolicy(QComboBox::NoInsert);
  cbLogging->addItems({U("low"), U("normal"), U("high"), U("debug")});
  cbLogging->setCurrentIndex(1);
  gbAccountData = MakeGroup(ConfigSheet, "gbAccountData", 4, 72, 429, 105, U("Zugangsdaten"));
  lbAccount = MakeLabel(gbAccountData, "lbAccount", 8, 24, 43, 13, U("Account:"), false);
  lbDomain = MakeLabel(gbAccountData, "lbDomain", 8, 48, 39, 13, U("Domain:"), false);
  lbPassword = MakeLabel(gbAccountData, "lbPassword", 8, 72, 46, 13, U("Passwort:"), false);
  txtAccount = MakeEdit(gbAccountData, "txtAccount", 64, 20, 161, 21);
  txtDomain = MakeEdit(gbAccountData, "txtDomain", 64, 44, 161, 21);
  txtPassword = MakeEdit(gbAccountData, "txtPassword", 64, 68, 161, 21);
  txtPassword->setEchoMode(QLineEdit::Password);
  Image5 = Make<LogoImage>(gbAccountData, "Image5", 239, 26, 175, 57);
  gbLastSetIP = MakeGroup(ConfigSheet, "gbLastSetIP", 4, 184, 429, 53, U("Account Aktualisierung"));
  lbLastSetIP = MakeLabel(gbLastSetIP, "lbLastSetIP", 8, 24, 101, 13, U("Letzte Aktualisierung:"),
                          false);
  txtLastSetIP = MakeDisplayEdit(gbLastSetIP, "txtLastSetIP", 112, 20, 113, 21);
  btnLastSetIP = MakeButton(gbLastSetIP, "btnLastSetIP", 240, 16, 96, 25, U("Jetzt Aktualisieren"));
  gbLastIPDetect = MakeGroup(ConfigSheet, "gbLastIPDetect", 4, 244, 429, 81,
                             U("IP Adressen Informationen"));
  lbLastKnownIP = MakeLabel(gbLastIPDetect, "lbLastKnownIP", 8, 24, 93, 13,
                            U("Letzte bekannte IP:"), false);
  txtActualIP = MakeDisplayEdit(gbLastIPDetect, "txtActualIP", 112, 20, 113, 21);
  lbIPDetected = MakeLabel(gbLastIPDetect, "lbIPDetected", 8, 52, 39, 13, U("erkannt:"), false);
  txtLastIPDetect = MakeDisplayEdit(gbLastIPDetect, "txtLastIPDetect", 112, 48, 113, 21);
  btnCheckIP = MakeButton(gbLastIPDetect, "btnCheckIP", 240, 44, 96, 25, U("Jetzt Prüfen"));
  btnSaveConfig = MakeButton(ConfigSheet, "btnSaveConfig", 336, 336, 96, 25, U("Speichern"));
  btnSaveConfig->setDefault(true);
}

void TMainForm::CreateLogsSheet() {
  LogsSheet = new QWidget;
  LogsSheet->setObjectName(QStringLiteral("LogsSheet"));
  PageControl1->addTab(LogsSheet, U("Logs"));
  lstLogs = Make<QListWidget>(LogsSheet, "lstLogs", 4, 12, 429, 341);
  lstLogs->setItemDelegate(new FixedRowDelegate(lstLogs));
  lstLogs->setUniformItemSizes(true);
  lstLogs->setContextMenuPolicy(Qt::NoContextMenu);
  lstLogs->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TMainForm::CreateInfoSheet() {
  InfoSheet = new QWidget;
  InfoSheet->setObjectName(QStringLiteral("InfoSheet"));
  PageControl1->addTab(InfoSheet, U("Informationen"));
  lbVersion = MakeLabel(InfoSheet, "lbVersion", 4, 16, 430, 13, QString(), true);
  lbVersion->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Image4 = Make<LogoImage>(InfoSheet, "Image4", 36, 50, 357, 50);
  GroupBox11 = MakeGroup(InfoSheet, "GroupBox11", 4, 132, 429, 197, QString());
  lbZemURL = MakeLabel(GroupBox11, "lbZemURL", 200, 68, 0, 0, U(web::kMakerPage), false);
  lbZemURL->setCursor(Qt::PointingHandCursor);
}

void TMainForm::BindEvents() {
  connect(StatusTimer, &QTimer::timeout, this, [this] { Handle([this] { StatusTimerTimer(); }); });
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) Handle([this] { TrayIconDblClick(); });
  });
  connect(itemExit, &QAction::triggered, this, [this] { Handle([this] { itemExitClick(); }); });
  connect(chkOffline, &QCheckBox::clicked, this, [this] { Handle([this] { chkOfflineClick(); }); });
  connect(btnSaveConfig, &QPushButton::clicked, this,
          [this] { Handle([this] { btnSaveConfigClick(); }); });
  connect(btnLastSetIP, &QPushButton::clicked, this,
          [this] { Handle([this] { btnLastSetIPClick(); }); });
  connect(btnCheckIP, &QPushButton::clicked, this, [this] { Handle([this] { btnCheckIPClick(); }); });
  for (QObject* o : std::initializer_list<QObject*>{StateSheet, ConfigSheet, InfoSheet, cbLanguage,
                                                    Image3, Image4, Image5, lbZemURL})
    o->installEventFilter(this);
}

void TMainForm::Handle(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    if (afterEngineCalls_) afterEngineCalls_();
    ApplicationHandleException(e);
    return;
  } catch (...) {
    if (afterEngineCalls_) afterEngineCalls_();
    ApplicationHandleException(std::runtime_error("Exception"));
    return;
  }
  if (afterEngineCalls_) afterEngineCalls_();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::Show:
      // A page shown by the program, not the window coming back from an icon.
      if (event->spontaneous()) break;
      if (watched == StateSheet) Handle([this] { StateSheetShow(); });
      if (watched == ConfigSheet) Handle([this] { ConfigSheetShow(); });
      if (watched == InfoSheet) Handle([this] { InfoSheetShow(); });
      break;
    case QEvent::FocusIn:
      if (watched == cbLanguage) Handle([this] { cbLanguageEnter(); });
      break;
    case QEvent::FocusOut: {
      // Another program or the combo's own list took it: the combo keeps
      // the window's focus.
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
      if (watched == cbLanguage && reason != Qt::ActiveWindowFocusReason &&
          reason != Qt::PopupFocusReason)
        Handle([this] { cbLanguageExit(); });
      break;
    }
    case QEvent::Enter:
      if (watched == lbZemURL) Handle([this] { lbZemURLMouseEnter(); });
      break;
    case QEvent::Leave:
      if (watched == lbZemURL) Handle([this] { lbZemURLMouseLeave(); });
      break;
    case QEvent::MouseButtonRelease: {
      auto* w = qobject_cast<QWidget*>(watched);
      auto* me = static_cast<QMouseEvent*>(event);
      if (w == nullptr || me->button() != Qt::LeftButton ||
          !w->rect().contains(me->position().toPoint()))
        break;
      if (watched == Image3 || watched == Image4 || watched == Image5)
        Handle([this] { CorvilinkURLClick(); });
      if (watched == lbZemURL) Handle([this] { lbZemURLClick(); });
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Minimised into the icon; without a tray to hold it the window just minimises.
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
      QSystemTrayIcon::isSystemTrayAvailable())
    QTimer::singleShot(0, this, [this] {
      if (windowState() & Qt::WindowMinimized) HideMainWindow();
    });
}

void TMainForm::closeEvent(QCloseEvent* event) {
  event->accept();
  TrayIcon->hide();
  emit closed();
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
    QWidget::keyPressEvent(event);
    return;
  }
  // A focused button takes Enter itself; otherwise the default button does,
  // while its page is up.
  if (auto* b = qobject_cast<QPushButton*>(focusWidget())) {
    b->click();
  } else if (btnSaveConfig->isVisible() && btnSaveConfig->isEnabled()) {
    btnSaveConfig->click();
  } else {
    QWidget::keyPressEvent(event);
  }
}

// --- start-up ---

void TMainForm::FormCreate() {
  LoadConfig();
  ApplyLanguage(Values.Language);
  if (Values.ConfigError) engine_.TimersOff();
  PageControl1->setCurrentIndex(0);
  setWindowTitle(FromEngine(VersionInfoValue("FileDescription") + " " +
                            VersionInfoValue("ProductVersion")));
  if (argumentCount_ >= 2) PageControl1->setTabVisible(2, false);
  Values.Mode = "GUI";
  engine_.StartEngine("W");
}

// --- the refresh ---

void TMainForm::StatusTimerTimer() {
  SetText(lbHostName, FromEngine(Values.Account + "." + Values.Domain));

  const QString ip = FromEngine(Values.CurrentIP);
  const QString lastUpdate = FromEngine(Values.LastUpdateTime);
  SetText(lbActualIP, ip);
  SetText(lbLastUpdate, lastUpdate);
  SetText(lbIPAddress, ip);
  SetText(txtActualIP, ip);
  SetText(txtLastIPDetect, FromEngine(Values.LastDetectTime));
  SetText(txtLastSetIP, lastUpdate);

  if (Values.Tariff.size() == 2) {
    static const struct {
      const char* code;
      const char* name;
    } kTariffs[] = {{"PA", "Private A"},   {"PB", "Private B"},   {"BA", "Business A"},
                    {"BB", "Business B"},  {"BC", "Business C"},  {"HA", "HeartBeat A"},
                    {"HB", "HeartBeat B"}, {"HC", "HeartBeat C"}};
    for (const auto& t : kTariffs)
      if (Values.Tariff == t.code) SetText(lbTarif, U(t.name));
  }

  const QString lastLog = FromEngine(Values.LastLogMessage);
  if (StatusBar->currentMessage() != lastLog) StatusBar->showMessage(lastLog);

  const std::time_t now = engine_.loop.WallClock();
  for (std::string& slot : Values.LogSlot) {
    if (!slot.empty())
      lstLogs->addItem(FromEngine(DateText(now) + "  " + TimeText(now) + "   ") + FromEngine(slot));
    if (lstLogs->count() >= 26) delete lstLogs->takeItem(0);
  }
  for (std::string& slot : Values.LogSlot) slot.clear();

  if (Values.ServerMessage != LastBalloonText) {
    LastBalloonText = Values.ServerMessage;
    ShowBalloon(QStringLiteral("Corvilink"), FromEngine(Values.ServerMessage),
                QSystemTrayIcon::Information, 20);
  }

  if (!Values.ConfigError) SetText(lbMess, Lines(FromEngine(Values.ServerMessage)));

  const QColor colour = Values.ec > 0 || Values.ec2 > 0 ? kRed : kGradientActiveCaption;
  if (lbIPAddress->palette().color(QPalette::WindowText) != colour) {
    QPalette pal = lbIPAddress->palette();
    pal.setColor(QPalette::WindowText, colour);
    lbIPAddress->setPalette(pal);
  }

  ApplyLanguage(Values.Language);
}

void TMainForm::ApplyLanguage(const std::string& code) {
  const bool german = plat::UpperAscii(code) == "D";
  cbLanguage->setCurrentIndex(german ? 0 : 1);
  Values.Language = german ? "D" : "E";
  const auto pick = [german](const char* de, const char* en) { return U(german ? de : en); };

  SetTabText(PageControl1, 0, pick("Status", "Information"));
  SetTabText(PageControl1, 1, pick("Einstellungen", "Settings"));
  SetTabText(PageControl1, 2, pick("Log", "Logging"));
  SetTabText(PageControl1, 3, pick("Informationen", "About"));
  SetText(gbAccountInfo, pick("Account Informationen", "Account Information"));
  SetText(lbIHostname, pick("Hostname:", "Hostname:"));
  SetText(lbIActualIP, pick("Aktuelle IP:", "Actual IP:"));
  SetText(lbILastUpdate, pick("Letzte Aktualisierung:", "Last Update:"));
  SetText(lbITariff, pick("Tarif:", "Tariff:"));
  SetText(chkOffline, pick("Offline Modus", "Offline Mode"));
  SetText(gbLanguage, pick("Sprache", "Language"));
  SetText(lbLanguage, pick("Sprache:", "Language"));
  SetText(gbAccountData, pick("Zugangsdaten", "Account Data"));
  SetText(lbAccount, pick("Account:", "Account"));
  SetText(lbDomain, pick("Domain:", "Domain"));
  SetText(lbPassword, pick("Passwort:", "Password"));
  SetText(gbLastSetIP, pick("Account Aktualisierung", "Account Update"));
  SetText(lbLastSetIP, pick("Letzte Aktualisierung:", "Last Update:"));
  SetText(btnLastSetIP, pick("Jetzt Aktualisieren", "Update Now"));
  SetText(gbLastIPDetect, pick("IP Adressen Informationen", "IP Address Information"));
  SetText(lbLastKnownIP, pick("Letzte bekannte IP:", "Last known IP:"));
  SetText(lbIPDetected, pick("erkannt:", "detected:"));
  SetText(btnCheckIP, pick("Jetzt Prüfen", "Check Now"));
  SetText(btnSaveConfig, pick("Speichern", "Save"));

  if (Values.ConfigError) SetText(lbMess, Lines(FromEngine(ConfigErrorText(german))));
  if (Values.Deactivated) SetText(lbMess, Lines(FromEngine(DeactivatedText(german))));
}

// --- the tray icon ---

void TMainForm::TrayIconDblClick() {
  if (isVisible()) {
    HideMainWindow();
  } else {
    ShowMainWindow();
  }
}

void TMainForm::itemExitClick() {
  HideMainWindow();
  close();
}

void TMainForm::ShowMainWindow() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TMainForm::HideMainWindow() { hide(); }

void TMainForm::ShowBalloon(const QString& title, const QString& text,
                            QSystemTrayIcon::MessageIcon icon, int seconds) {
  ShowBalloonHint(title.left(63), Lines(text.left(255)), icon, seconds * 1000);
}

void TMainForm::ShowBalloonHint(const QString& title, const QString& text,
                                QSystemTrayIcon::MessageIcon icon, int milliseconds) {
  // Qt takes a balloon down when it is asked for one with neither title nor text.
  if (text.isEmpty()) {
    TrayIcon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 0);
    return;
  }
  TrayIcon->showMessage(title, text, icon, milliseconds);
}

void TMainForm::OpenUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

// --- settings and user actions ---

void TMainForm::StateSheetShow() {
  plat::IniFile ini(ConfigPath());
  const bool offline = ini.ReadBool("ACCOUNT", "Offline", false);
  if (chkOffline->isChecked() != offline) {
    chkOffline->setChecked(offline);
    chkOfflineClick();
  }
}

void TMainForm::chkOfflineClick() {
  plat::IniFile ini(ConfigPath());
  ini.WriteBool("ACCOUNT", "Offline", chkOffline->isChecked());
  engine_.UpdateSoon();
}

void TMainForm::ConfigSheetShow() {
  plat::IniFile ini(ConfigPath());
  txtAccount->setText(FromEngine(ini.ReadString("ACCOUNT", "Account", "")));
  txtDomain->setText(FromEngine(ini.ReadString("ACCOUNT", "Domain", endpoints::kServiceDomain)));
  txtPassword->setText(FromEngine(ini.ReadString("ACCOUNT", "Passwd", "")));
  cbLogging->setCurrentIndex(1);
  const std::string level = ini.ReadString("LOGGING", "Level", "20");
  if (level == "10") cbLogging->setCurrentIndex(0);
  if (level == "20") cbLogging->setCurrentIndex(1);
  if (level == "30") cbLogging->setCurrentIndex(2);
  if (level == "40") cbLogging->setCurrentIndex(3);
}

void TMainForm::btnSaveConfigClick() {
  plat::IniFile ini(ConfigPath());
  ini.WriteString("ACCOUNT", "Account", ToEngine(txtAccount->text()));
  ini.WriteString("ACCOUNT", "Domain", ToEngine(txtDomain->text()));
  const std::string password = ToEngine(txtPassword->text());
  if (password.size() < 30) ini.WriteString("ACCOUNT", "Passwd", plat::Md5Hex(password));
  ini.WriteString("ACCOUNT", "Language",
                  plat::UpperAscii(ToEngine(cbLanguage->currentText())) == "DEUTSCH" ? "D" : "E");
  const std::string level = plat::UpperAscii(ToEngine(cbLogging->currentText()));
  if (level == "LOW") {
    Values.LogLevel = 10;
  } else if (level == "NORMAL") {
    Values.LogLevel = 20;
  } else if (level == "HIGH") {
    Values.LogLevel = 30;
  } else if (level == "DEBUG") {
    Values.LogLevel = 40;
  } else {
    Values.LogLevel = 20;
  }
  ini.WriteString("ACCOUNT", "EXIT", "0");
  ini.WriteString("ACCOUNT", "CONFIGERROR", "0");
  ini.WriteString("ACCOUNT", "DEACTIVATED", "0");
  ini.WriteString("LOGGING", "Level", IntToText(Values.LogLevel));
  ini.WriteString("DAEMON", "StartDelay", IntToText(Values.StartDelay));
  engine_.UpdateSoon();
}

void TMainForm::btnLastSetIPClick() {
  if (Values.ConfigError || Values.Deactivated) {
    plat::IniFile ini(ConfigPath());
    ini.WriteString("ACCOUNT", "CONFIGERROR", "0");
    ini.WriteString("ACCOUNT", "DEACTIVATED", "0");
    Values.ConfigError = false;
    ApplyLanguage(Values.Language);
  }
  engine_.UpdateSoon();
}

void TMainForm::btnCheckIPClick() { engine_.CheckIPSoon(); }

void TMainForm::cbLanguageEnter() { StatusTimer->stop(); }

void TMainForm::cbLanguageExit() { StatusTimer->start(); }

void TMainForm::InfoSheetShow() {
  SetText(lbVersion,
          FromEngine(VersionInfoValue("FileDescription") + " " + VersionInfoValue("FileVersion")));
}

void TMainForm::CorvilinkURLClick() { OpenUrl(U(web::kServicePage)); }

void TMainForm::lbZemURLMouseEnter() {
  QFont f = lbZemURL->font();
  f.setUnderline(true);
  lbZemURL->setFont(f);
}

void TMainForm::lbZemURLMouseLeave() {
  QFont f = lbZemURL->font();
  f.setUnderline(false);
  lbZemURL->setFont(f);
}

void TMainForm::lbZemURLClick() { OpenUrl(U(web::kMakerPage)); }

// --- errors that escape a handler ---

namespace {
// A fault that repeats (the marker's tick in a folder gone read-only) would
// open each new box inside the open one's event loop, without end.
bool errorBoxOpen = false;
}  // namespace

void ShowErrorMessage(const QString& text) {
  if (errorBoxOpen) return;
  errorBoxOpen = true;
  struct Closed {
    ~Closed() { errorBoxOpen = false; }
  } closed;
  QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), text,
                  QMessageBox::Ok);
  box.exec();
}

void InstallDefaultErrorHandling(QtLoop* loop) {
  ApplicationHandleException = [loop](const std::exception& e) {
    if (errorBoxOpen) return;
    const QString text = FromEngine(e.what());
    // A modal box inside a libuv callback would run uv_run from inside itself.
    if (loop != nullptr && loop->Pumping()) {
      QMetaObject::invokeMethod(qApp, [text] { ShowErrorMessage(text); }, Qt::QueuedConnection);
    } else {
      ShowErrorMessage(text);
    }
  };
}

}  // namespace desk

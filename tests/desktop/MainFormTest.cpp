// The main window against an engine on the simulated loop: no network, a
// fresh program directory per test, the offscreen platform.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CaptionFit.h"
#include "CorvilinkClient.h"
#include "CorvilinkMain.h"
#include "Cp1252.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "IniFile.h"
#include "SimLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

using namespace corvilink;

namespace {

class TestForm : public desk::TMainForm {
public:
  using TMainForm::TMainForm;

  struct Balloon {
    QString title, text;
    QSystemTrayIcon::MessageIcon icon;
    int ms;
  };
  std::vector<Balloon> balloons;
  QStringList urls;

protected:
  void ShowBalloonHint(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                       int ms) override {
    balloons.push_back({title, text, icon, ms});
  }
  void OpenUrl(const QString& url) override { urls << url; }
};

// A program directory, an engine on the simulated loop and the window, made
// in the order the program makes them.
struct Rig {
  explicit Rig(const std::string& ini = std::string(), int arguments = 0,
               bool hostNameFails = false) {
    Values = {};
    SetProgramPath(dir.path() + "/corvilink");
    plat::SetVersionBlock(&kDesktopVersion);
    RandSeed = 12345;
    loop.hostName = "simbox";
    loop.hostAddresses["simbox"] = {"10.1.2.3"};
    loop.hostNameFails = hostNameFails;
    if (!ini.empty()) corvitest::WriteFile(IniPath(), ini);
    savedHandler = ApplicationHandleException;
    ApplicationHandleException = [this](const std::exception& e) { errors.push_back(e.what()); };
    engine = std::make_unique<TCorvilinkC>(loop);
    form = std::make_unique<TestForm>(*engine, arguments);
  }
  ~Rig() {
    form.reset();
    engine.reset();
    ApplicationHandleException = savedHandler;
    SetProgramPath("");
    plat::SetVersionBlock(nullptr);
    Values = {};
  }
  std::string IniPath() const { return dir.path() + "/corvilink.ini"; }
  std::string Ini() const { return corvitest::ReadFile(IniPath()); }
  // Drops what start-up logged, so a test sees only its own lines.
  void ClearLog() {
    for (std::string& slot : Values.LogSlot) slot.clear();
    form->lstLogs->clear();
  }

  corvitest::TempDir dir;
  sim::SimLoop loop;
  std::unique_ptr<TCorvilinkC> engine;
  std::unique_ptr<TestForm> form;
  std::vector<std::string> errors;
  std::function<void(const std::exception&)> savedHandler;
};

QString Caption(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  return QStringLiteral("<no caption>");
}

QColor TextColour(QWidget* w) { return w->palette().color(QPalette::WindowText); }

const QColor kRed(255, 0, 0);
const QColor kCaptionBlue(0xB9, 0xD1, 0xEA);

struct CaptionRow {
  const char* control;
  const char* german;
  const char* english;
};
// The translated controls, in the order they are set.
const CaptionRow kCaptions[] = {
    {"gbAccountInfo", "Account Informationen", "Account Information"},
    {"lbIHostname", "Hostname:", "Hostname:"},
    {"lbIActualIP", "Aktuelle IP:", "Actual IP:"},
    {"lbILastUpdate", "Letzte Aktualisierung:", "Last Update:"},
    {"lbITariff", "Tarif:", "Tariff:"},
    {"chkOffline", "Offline Modus", "Offline Mode"},
    {"gbLanguage", "Sprache", "Language"},
    {"lbLanguage", "Sprache:", "Language"},
    {"gbAccountData", "Zugangsdaten", "Account Data"},
    {"lbAccount", "Account:", "Account"},
    {"lbDomain", "Domain:", "Domain"},
    {"lbPassword", "Passwort:", "Password"},
    {"gbLastSetIP", "Account Aktualisierung", "Account Update"},
    {"lbLastSetIP", "Letzte Aktualisierung:", "Last Update:"},
    {"btnLastSetIP", "Jetzt Aktualisieren", "Update Now"},
    {"gbLastIPDetect", "IP Adressen Informationen", "IP Address Information"},
    {"lbLastKnownIP", "Letzte bekannte IP:", "Last known IP:"},
    {"lbIPDetected", "erkannt:", "detected:"},
    {"btnCheckIP", "Jetzt Prüfen", "Check Now"},
    {"btnSaveConfig", "Speichern", "Save"},
};
const char* const kTabsDe[] = {"Status", "Einstellungen", "Log", "Informationen"};
const char* const kTabsEn[] = {"Information", "Settings", "Logging", "About"};

const QString kConfigErrorDe = QString::fromUtf8(
    "Kontrollieren Sie bitte Ihre Account-Konfiguration\n"
    "und korrigieren Sie diese bitte gegebenenfalls.\n"
    "\n"
    "Haben Sie Ihr Passwort korrekt eingegeben?\n"
    "Haben Sie es vergessen, hilft https://passwort.corvilink.example\n"
    "\n"
    "Weitere Infos finden Sie auch auf https://konto.corvilink.example\n");
const QString kDeactivatedDe = QString::fromUtf8(
    "Die Account-Aktualisieurng war nicht erfolgreich.\n"
    "Ist Ihr Vertrag möglicherweise ausgelaufen?\n"
    "Weitere Infos finden Sie auch auf https://konto.corvilink.example\n");
const QString kConfigErrorEn = QStringLiteral(
    "Please check your account configuration\n"
    "Please have a look at https://account.corvilink.example\n");
const QString kDeactivatedEn = QStringLiteral(
    "Please check your account configuration\n"
    "Please have a look at https://account.corvilink.example\n"
    "\n"
    "Has your contract been finished?");

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

private slots:
  void layout_data();
  void layout();
  void window();
  void checkBoxAndPasswordField();
  void tariff_data();
  void tariff();
  void tariffKeepsLastKnown();
  void refreshFields();
  void logList();
  void logListCap();
  void balloonOnChange();
  void balloonCut();
  void lbMess_data();
  void lbMess();
  void addressColour_data();
  void addressColour();
  void applyLanguage_data();
  void applyLanguage();
  void untranslated();
  void saveKeyOrder();
  void saveRewritesInPlace();
  void password_data();
  void password();
  void levelWords_data();
  void levelWords();
  void levelShown_data();
  void levelShown();
  void settingsRoundTrip();
  void saveWriteFailure();
  void updateNow_data();
  void updateNow();
  void checkNow();
  void offlineFromFile_data();
  void offlineFromFile();
  void offlineClick();
  void focusPausesRefresh();
  void configErrorAtStart_data();
  void configErrorAtStart();
  void arguments_data();
  void arguments();
  void formCreateFailure();
  void infoPage();
  void links();
  void trayToggle();
  void exitItem();
  void enterPressesSave();
};

// --- layout ---

void MainFormTest::layout_data() {
  QTest::addColumn<int>("row");
  const auto& table = layout::Table();
  for (size_t i = 0; i < table.size(); ++i) QTest::newRow(table[i].name) << int(i);
}

void MainFormTest::layout() {
  QFETCH(int, row);
  const layout::Row& r = layout::Table()[size_t(row)];
  Rig rig;
  const QString name = QString::fromLatin1(r.name);
  auto* w = rig.form->findChild<QWidget*>(name);
  QVERIFY2(w != nullptr, qPrintable(name));
  QCOMPARE(w->parentWidget()->objectName(), QString::fromLatin1(r.parent));
  QVERIFY2(w->inherits(r.kind), w->metaObject()->className());
  QCOMPARE(w->pos(), QPoint(r.x, r.y));
  if (!r.fixed) QCOMPARE(w->size(), w->sizeHint());
  // Its caption fits, and it keeps clear of its neighbours, in either
  // language and with the account texts.
  for (const layout::Language& l : layout::kLanguages) {
    Values.ConfigError = l.configError;
    Values.Deactivated = l.deactivated;
    rig.form->ApplyLanguage(l.code);
    if (!r.fixed) QCOMPARE(w->size(), w->sizeHint());
    const QStringList problems = layout::Problems(rig.form.get(), r, std::string(l.code) == "D");
    QVERIFY2(problems.isEmpty(), qPrintable(QString::fromLatin1(l.code) + ": " + problems.join("; ")));
  }
}

void MainFormTest::window() {
  Rig rig;
  TestForm& f = *rig.form;
  QCOMPARE(f.windowTitle(), QStringLiteral("Corvilink-Poster GUI 4.6"));
  QCOMPARE(f.minimumSize(), QSize(455, 428));
  QCOMPARE(f.maximumSize(), QSize(455, 428));
  QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
  QCOMPARE(f.PageControl1->count(), 4);
  const char* pages[] = {"StateSheet", "ConfigSheet", "LogsSheet", "InfoSheet"};
  for (int i = 0; i < 4; ++i) QCOMPARE(f.PageControl1->widget(i)->objectName(), QString(pages[i]));
  QCOMPARE(f.PageControl1->currentIndex(), 0);
  QCOMPARE(f.StatusTimer->interval(), 100);
  QVERIFY(f.StatusTimer->isActive());
  QCOMPARE(f.cbLogging->currentText(), QStringLiteral("normal"));
  QVERIFY(f.cbLogging->isEditable());
  QVERIFY(!f.cbLanguage->isEditable());
  QCOMPARE(f.txtPassword->echoMode(), QLineEdit::Password);
  // The tray menu: a separator, then the exit item.
  const QList<QAction*> items = f.TrayPopupMenu->actions();
  QCOMPARE(items.size(), 2);
  QVERIFY(items[0]->isSeparator());
  QCOMPARE(items[0]->objectName(), QStringLiteral("N1"));
  QCOMPARE(items[1]->objectName(), QStringLiteral("itemExit"));
  QCOMPARE(items[1]->text(), QStringLiteral("Beenden"));
  // Shown as such: Qt gives a separator it drops no room in the menu.
  const QRect separator = f.TrayPopupMenu->actionGeometry(items[0]);
  QVERIFY(separator.height() > 0);
  QVERIFY(separator.bottom() < f.TrayPopupMenu->actionGeometry(items[1]).top());
  QCOMPARE(f.TrayIcon->contextMenu(), f.TrayPopupMenu);
  QCOMPARE(f.TrayIcon->icon().actualSize(QSize(32, 32)), QSize(32, 32));
  QCOMPARE(f.lbZemURL->text(), QStringLiteral("https://www.corvilink-software.example"));
  QCOMPARE(f.lbZemURL->cursor().shape(), Qt::PointingHandCursor);
}

void MainFormTest::checkBoxAndPasswordField() {
  Rig rig;
  TestForm& f = *rig.form;
  f.txtPassword->setText(QStringLiteral("geheim"));
  QCOMPARE(f.txtPassword->displayText(), QStringLiteral("******"));
  // The caption left of the box, two pixels from it; the box centred on the
  // caption's 13-pixel line.
  QCheckBox* c = f.chkOffline;
  QStyleOptionButton o;
  o.initFrom(c);
  o.text = c->text();
  const QStyle* s = c->style();
  const int w = s->pixelMetric(QStyle::PM_IndicatorWidth, &o, c);
  const int h = s->pixelMetric(QStyle::PM_IndicatorHeight, &o, c);
  const QRect box = s->subElementRect(QStyle::SE_CheckBoxIndicator, &o, c);
  QCOMPARE(box, QRect(85 - w, 13 / 2 - h / 2, w, h));
  QCOMPARE(s->subElementRect(QStyle::SE_CheckBoxContents, &o, c), QRect(0, 0, 85 - w - 2, 13));
  QVERIFY(s->subElementRect(QStyle::SE_CheckBoxClickRect, &o, c).contains(box));
  const QSize caption =
      s->itemTextRect(c->fontMetrics(), QRect(), Qt::TextShowMnemonic, false, c->text()).size();
  QCOMPARE(c->sizeHint(), QSize(caption.width() + w + 2, std::max(caption.height(), h)));
  // No style sheet anywhere: Qt's style-sheet engine is never loaded.
  QVERIFY(qApp->styleSheet().isEmpty());
  for (const QWidget* widget : f.findChildren<QWidget*>())
    QVERIFY2(widget->styleSheet().isEmpty(), qPrintable(widget->objectName()));
}

// --- the refresh ---

void MainFormTest::tariff_data() {
  QTest::addColumn<QByteArray>("code");
  QTest::addColumn<QString>("shown");
  QTest::newRow("PA") << QByteArray("PA") << "Private A";
  QTest::newRow("PB") << QByteArray("PB") << "Private B";
  QTest::newRow("BA") << QByteArray("BA") << "Business A";
  QTest::newRow("BB") << QByteArray("BB") << "Business B";
  QTest::newRow("BC") << QByteArray("BC") << "Business C";
  QTest::newRow("HA") << QByteArray("HA") << "HeartBeat A";
  QTest::newRow("HB") << QByteArray("HB") << "HeartBeat B";
  QTest::newRow("HC") << QByteArray("HC") << "HeartBeat C";
  QTest::newRow("lower case") << QByteArray("pa") << "Unbekannt";
  QTest::newRow("one letter") << QByteArray("P") << "Unbekannt";
  QTest::newRow("three letters") << QByteArray("PAX") << "Unbekannt";
  QTest::newRow("empty") << QByteArray("") << "Unbekannt";
  QTest::newRow("unknown code") << QByteArray("PC") << "Unbekannt";
  QTest::newRow("trailing blank") << QByteArray("P ") << "Unbekannt";
}

void MainFormTest::tariff() {
  QFETCH(QByteArray, code);
  QFETCH(QString, shown);
  Rig rig;
  Values.Tariff = code.toStdString();
  rig.form->StatusTimerTimer();
  QCOMPARE(rig.form->lbTarif->text(), shown);
}

void MainFormTest::tariffKeepsLastKnown() {
  Rig rig;
  const struct {
    const char* code;
    const char* shown;
  } steps[] = {{"PA", "Private A"}, {"HB", "HeartBeat B"}, {"XX", "HeartBeat B"},
               {"", "HeartBeat B"}, {"hb", "HeartBeat B"}, {"BAC", "HeartBeat B"},
               {"BC", "Business C"}};
  for (const auto& s : steps) {
    Values.Tariff = s.code;
    rig.form->StatusTimerTimer();
    QCOMPARE(rig.form->lbTarif->text(), QString::fromLatin1(s.shown));
  }
}

void MainFormTest::refreshFields() {
  Rig rig;
  TestForm& f = *rig.form;
  Values.Account.clear();
  Values.Domain.clear();
  f.StatusTimerTimer();
  // Empty values: a lone "." and empty captions, the big address included.
  QCOMPARE(f.lbHostName->text(), QStringLiteral("."));
  QCOMPARE(f.lbIPAddress->text(), QString());
  QCOMPARE(f.lbActualIP->text(), QString());

  Values.Account = "m\xFCller";  // Windows-1252 "ü"
  Values.Domain = "corvilink.example";
  Values.CurrentIP = "203.0.113.7";
  // As long as en_US makes them: wider than the fields.
  Values.LastUpdateTime = "12/09/2026 12:13:42 PM";
  Values.LastDetectTime = "12/09/2026 12:13:30 PM";
  Values.LastLogMessage = "Info!    Preis 5\x80";  // "€"
  f.StatusTimerTimer();
  QCOMPARE(f.lbHostName->text(), QString::fromUtf8("müller.corvilink.example"));
  QCOMPARE(f.lbActualIP->text(), QStringLiteral("203.0.113.7"));
  QCOMPARE(f.lbIPAddress->text(), QStringLiteral("203.0.113.7"));
  QCOMPARE(f.txtActualIP->text(), QStringLiteral("203.0.113.7"));
  QCOMPARE(f.lbLastUpdate->text(), QStringLiteral("12/09/2026 12:13:42 PM"));
  QCOMPARE(f.txtLastSetIP->text(), QStringLiteral("12/09/2026 12:13:42 PM"));
  QCOMPARE(f.txtLastIPDetect->text(), QStringLiteral("12/09/2026 12:13:30 PM"));
  // Shown from the date's first digit, where the field is too narrow.
  QCOMPARE(f.txtLastSetIP->cursorPosition(), 0);
  QCOMPARE(f.txtLastIPDetect->cursorPosition(), 0);
  QCOMPARE(f.StatusBar->currentMessage(), QString::fromUtf8("Info!    Preis 5€"));

  // A selection in a display field survives a refresh that changes nothing.
  f.txtActualIP->setSelection(0, 3);
  f.StatusTimerTimer();
  QCOMPARE(f.txtActualIP->selectedText(), QStringLiteral("203"));
  // Typing there is undone by the next refresh.
  f.txtLastSetIP->setText(QStringLiteral("typed"));
  f.StatusTimerTimer();
  QCOMPARE(f.txtLastSetIP->text(), QStringLiteral("12/09/2026 12:13:42 PM"));
  QCOMPARE(f.txtLastSetIP->cursorPosition(), 0);
}

void MainFormTest::logList() {
  Rig rig;
  TestForm& f = *rig.form;
  rig.ClearLog();
  for (int i = 0; i < 10; ++i) Values.LogSlot[size_t(i)] = "old " + std::to_string(i + 1);
  f.StatusTimerTimer();
  QCOMPARE(f.lstLogs->count(), 10);

  for (int i = 0; i < 20; ++i) Values.LogSlot[size_t(i)] = "Info!    new " + std::to_string(i + 1);
  Values.LogSlot[4] = "Alert!   Gr\xF6\xDF" "e";  // "Größe"
  const time_t now = rig.loop.WallClock();
  const std::string stamp = DateText(now) + "  " + TimeText(now) + "   ";
  f.StatusTimerTimer();
  // 10 + 20 lines, the 5 oldest gone, newest last.
  QCOMPARE(f.lstLogs->count(), 25);
  QCOMPARE(f.lstLogs->item(0)->text(), desk::FromEngine(stamp) + "old 6");
  QCOMPARE(f.lstLogs->item(4)->text(), desk::FromEngine(stamp) + "old 10");
  QCOMPARE(f.lstLogs->item(5)->text(), desk::FromEngine(stamp) + "Info!    new 1");
  QCOMPARE(f.lstLogs->item(9)->text(), desk::FromEngine(stamp) + QString::fromUtf8("Alert!   Größe"));
  QCOMPARE(f.lstLogs->item(24)->text(), desk::FromEngine(stamp) + "Info!    new 20");
  for (const std::string& slot : Values.LogSlot) QVERIFY(slot.empty());

  // Nothing pending: the list stays as it is.
  f.StatusTimerTimer();
  QCOMPARE(f.lstLogs->count(), 25);
  QCOMPARE(f.lstLogs->item(0)->text(), desk::FromEngine(stamp) + "old 6");
}

void MainFormTest::logListCap() {
  Rig rig;
  TestForm& f = *rig.form;
  rig.ClearLog();
  // Gaps between the slots: lines keep the slot order, the cap still holds.
  for (int round = 0; round < 3; ++round) {
    // Appended, not "r" + ...: GCC 12 warns falsely of an overlap there (-Wrestrict).
    for (int i = 0; i < 20; i += 2)
      Values.LogSlot[size_t(i)] = std::string("r").append(std::to_string(round)).append("s").append(std::to_string(i + 1));
    f.StatusTimerTimer();
  }
  QCOMPARE(f.lstLogs->count(), 25);
  QVERIFY(f.lstLogs->item(24)->text().endsWith(QStringLiteral("   r2s19")));
  QVERIFY(f.lstLogs->item(0)->text().endsWith(QStringLiteral("   r0s11")));
}

void MainFormTest::balloonOnChange() {
  Rig rig;
  TestForm& f = *rig.form;
  const std::vector<std::string> messages = {"Wartung heute", "Wartung heute", "Wartung heute", "",
                                             "", "Wartung heute", "Wartung Heute"};
  for (const std::string& m : messages) {
    Values.ServerMessage = m;
    f.StatusTimerTimer();
  }
  QCOMPARE(int(f.balloons.size()), 4);
  const char* texts[] = {"Wartung heute", "", "Wartung heute", "Wartung Heute"};
  for (size_t i = 0; i < 4; ++i) {
    QCOMPARE(f.balloons[i].title, QStringLiteral("Corvilink"));
    QCOMPARE(f.balloons[i].text, QString::fromLatin1(texts[i]));
    QCOMPARE(f.balloons[i].icon, QSystemTrayIcon::Information);
    QCOMPARE(f.balloons[i].ms, 20000);
  }
  QCOMPARE(f.LastBalloonText, std::string("Wartung Heute"));
}

void MainFormTest::balloonCut() {
  Rig rig;
  Values.ServerMessage = std::string(300, 'a') + "\xE4";
  rig.form->StatusTimerTimer();
  QCOMPARE(int(rig.form->balloons.size()), 1);
  QCOMPARE(rig.form->balloons[0].text, QString(255, QLatin1Char('a')));
  rig.form->ShowBalloon(QString(70, QLatin1Char('t')), QStringLiteral("x"),
                        QSystemTrayIcon::Information, 20);
  QCOMPARE(rig.form->balloons[1].title, QString(63, QLatin1Char('t')));
}

void MainFormTest::lbMess_data() {
  QTest::addColumn<bool>("configError");
  QTest::addColumn<bool>("deactivated");
  QTest::addColumn<QByteArray>("server");
  QTest::addColumn<QByteArray>("language");
  QTest::addColumn<QString>("shown");
  const QByteArray msg("Bitte neu anmelden\r\nDanke");
  const QString msgShown = QStringLiteral("Bitte neu anmelden\nDanke");
  QTest::newRow("neither, message") << false << false << msg << QByteArray("D") << msgShown;
  QTest::newRow("neither, empty") << false << false << QByteArray() << QByteArray("D") << QString();
  QTest::newRow("config error de") << true << false << msg << QByteArray("D") << kConfigErrorDe;
  QTest::newRow("config error en") << true << false << msg << QByteArray("E") << kConfigErrorEn;
  QTest::newRow("deactivated de") << false << true << msg << QByteArray("D") << kDeactivatedDe;
  QTest::newRow("deactivated en") << false << true << msg << QByteArray("E") << kDeactivatedEn;
  QTest::newRow("both de") << true << true << msg << QByteArray("D") << kDeactivatedDe;
  QTest::newRow("both en") << true << true << QByteArray() << QByteArray("E") << kDeactivatedEn;
}

void MainFormTest::lbMess() {
  QFETCH(bool, configError);
  QFETCH(bool, deactivated);
  QFETCH(QByteArray, server);
  QFETCH(QByteArray, language);
  QFETCH(QString, shown);
  Rig rig;
  Values.ConfigError = configError;
  Values.Deactivated = deactivated;
  Values.ServerMessage = server.toStdString();
  Values.Language = language.toStdString();
  rig.form->StatusTimerTimer();
  QCOMPARE(rig.form->lbMess->text(), shown);
}

void MainFormTest::addressColour_data() {
  QTest::addColumn<uint>("ec_");
  QTest::addColumn<uint>("ec2_");
  QTest::addColumn<bool>("red");
  // ec3 is non-zero throughout: it doesn't count here.
  QTest::newRow("neither") << 0u << 0u << false;
  QTest::newRow("ec") << 1u << 0u << true;
  QTest::newRow("ec2") << 0u << 3u << true;
  QTest::newRow("both") << 5u << 2u << true;
}

void MainFormTest::addressColour() {
  QFETCH(uint, ec_);
  QFETCH(uint, ec2_);
  QFETCH(bool, red);
  Rig rig;
  Values.ec3 = 4;
  Values.ec = ec_;
  Values.ec2 = ec2_;
  rig.form->StatusTimerTimer();
  QCOMPARE(TextColour(rig.form->lbIPAddress), red ? kRed : kCaptionBlue);
  // Back to normal at the next refresh once both counters are 0.
  Values.ec = Values.ec2 = 0;
  rig.form->StatusTimerTimer();
  QCOMPARE(TextColour(rig.form->lbIPAddress), kCaptionBlue);
}

// --- the language ---

void MainFormTest::applyLanguage_data() {
  QTest::addColumn<QByteArray>("code");
  QTest::addColumn<bool>("german");
  QTest::newRow("d") << QByteArray("d") << true;
  QTest::newRow("D") << QByteArray("D") << true;
  QTest::newRow("e") << QByteArray("e") << false;
  QTest::newRow("E") << QByteArray("E") << false;
  QTest::newRow("empty") << QByteArray("") << false;
  QTest::newRow("x") << QByteArray("x") << false;
  QTest::newRow("DE") << QByteArray("DE") << false;
  QTest::newRow("d with blank") << QByteArray("d ") << false;
}

void MainFormTest::applyLanguage() {
  QFETCH(QByteArray, code);
  QFETCH(bool, german);
  Rig rig;
  TestForm& f = *rig.form;
  // Start from the other language so that every caption has to change.
  f.ApplyLanguage(german ? "E" : "D");
  f.ApplyLanguage(code.toStdString());
  QCOMPARE(Values.Language, std::string(german ? "D" : "E"));
  QCOMPARE(f.cbLanguage->currentIndex(), german ? 0 : 1);
  for (const CaptionRow& row : kCaptions) {
    auto* w = f.findChild<QWidget*>(QString::fromLatin1(row.control));
    QVERIFY2(w != nullptr, row.control);
    QCOMPARE(Caption(w), QString::fromUtf8(german ? row.german : row.english));
  }
  for (int i = 0; i < 4; ++i)
    QCOMPARE(f.PageControl1->tabText(i), QString::fromLatin1(german ? kTabsDe[i] : kTabsEn[i]));
  // With neither flag set lbMess is left alone.
  QCOMPARE(f.lbMess->text(), QString());
}

void MainFormTest::untranslated() {
  Rig rig;
  TestForm& f = *rig.form;
  for (const char* code : {"D", "E"}) {
    f.ApplyLanguage(code);
    QCOMPARE(f.gbLogVele->title(), QStringLiteral("Logging"));
    QCOMPARE(f.Label3->text(), QStringLiteral("Level:"));
    QCOMPARE(f.itemExit->text(), QStringLiteral("Beenden"));
    QCOMPARE(f.lbTarif->text(), QStringLiteral("Unbekannt"));
    QCOMPARE(f.cbLanguage->itemText(0), QStringLiteral("Deutsch"));
    QCOMPARE(f.cbLanguage->itemText(1), QStringLiteral("English"));
    QCOMPARE(f.cbLogging->itemText(2), QStringLiteral("high"));
  }
  // A missing file loads language "E": English from the start.
  QCOMPARE(f.PageControl1->tabText(0), QStringLiteral("Information"));
}

// --- Save ---

void MainFormTest::saveKeyOrder() {
  Rig rig("; kept as it is\r\n[OPTIONS]\r\nBroadcast=0\r\n");
  TestForm& f = *rig.form;
  f.txtAccount->setText(QString::fromUtf8("Jürgen"));
  f.txtDomain->setText(QStringLiteral("example.org"));
  f.txtPassword->setText(QStringLiteral("geheim"));
  f.cbLanguage->setCurrentIndex(1);
  f.cbLogging->setCurrentIndex(2);
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 5000u);
  f.btnSaveConfig->click();
  QVERIFY(rig.errors.empty());
  QCOMPARE(rig.Ini(), std::string("; kept as it is\r\n"
                                  "[OPTIONS]\r\n"
                                  "Broadcast=0\r\n"
                                  "[ACCOUNT]\r\n"
                                  "Account=J\xFCrgen\r\n"
                                  "Domain=example.org\r\n"
                                  "Passwd=e8636ea013e682faf61f56ce1cb1ab5c\r\n"
                                  "Language=E\r\n"
                                  "EXIT=0\r\n"
                                  "CONFIGERROR=0\r\n"
                                  "DEACTIVATED=0\r\n"
                                  "[LOGGING]\r\n"
                                  "Level=30\r\n"
                                  "[DAEMON]\r\n"
                                  "StartDelay=0\r\n"));
  QCOMPARE(int(Values.LogLevel), 30);
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 2500u);
  // The flags in memory are the engine's business.
  QCOMPARE(rig.engine->TimerSetIP.Enabled(), true);
}

void MainFormTest::saveRewritesInPlace() {
  const std::string before =
      "[DAEMON]\nStartDelay=15\n[ACCOUNT]\nDEACTIVATED=1\nPasswd=0123456789abcdef0123456789abcdef\n"
      "Account=alt\nEXIT=1\nCONFIGERROR=1\nLanguage=E\nDomain=alt.example\nOffline=1\n"
      "[LOGGING]\nLevel=$14\n";
  Rig rig(before);
  TestForm& f = *rig.form;
  QCOMPARE(Values.StartDelay, 15);
  Values.ConfigError = true;
  Values.Deactivated = true;
  f.ConfigSheetShow();
  f.cbLanguage->setCurrentIndex(0);
  f.cbLogging->setEditText(QStringLiteral("Debug"));
  f.btnSaveConfig->click();
  QCOMPARE(rig.Ini(), std::string("[DAEMON]\nStartDelay=15\n[ACCOUNT]\nDEACTIVATED=0\n"
                                  "Passwd=0123456789abcdef0123456789abcdef\nAccount=alt\nEXIT=0\n"
                                  "CONFIGERROR=0\nLanguage=D\nDomain=alt.example\nOffline=1\n"
                                  "[LOGGING]\nLevel=40\n"));
  // Save leaves the flags in memory alone.
  QVERIFY(Values.ConfigError);
  QVERIFY(Values.Deactivated);
}

void MainFormTest::password_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QByteArray>("stored");
  const QByteArray previous("0123456789abcdef0123456789abcdef");
  QTest::newRow("29 characters") << QString(29, QLatin1Char('a'))
                                 << QByteArray("f7ce3d7d44f3342107d884bfa90c966a");
  QTest::newRow("30 characters") << QString(30, QLatin1Char('a')) << previous;
  QTest::newRow("31 characters") << QString(31, QLatin1Char('a')) << previous;
  QTest::newRow("stored digest") << QString::fromLatin1(previous) << previous;
  QTest::newRow("empty") << QString() << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
  QTest::newRow("wipe value x") << QStringLiteral("x") << QByteArray("9dd4e461268c8034f5c8564e155c67a6");
  // Characters, not UTF-8 bytes: 10 "ä" are 10 bytes of Windows-1252.
  QTest::newRow("umlauts") << QString(10, QChar(0xE4)) << QByteArray("5e5e98d614914e76d9bd3ff5b84400ec");
  QTest::newRow("12 euro") << QString(12, QChar(0x20AC)) << QByteArray("6fb1c6be8e9bde29339129754f9c61bd");
  QTest::newRow("30 euro") << QString(30, QChar(0x20AC)) << previous;
}

void MainFormTest::password() {
  QFETCH(QString, typed);
  QFETCH(QByteArray, stored);
  Rig rig("[ACCOUNT]\r\nPasswd=0123456789abcdef0123456789abcdef\r\n");
  rig.form->txtPassword->setText(typed);
  rig.form->btnSaveConfigClick();
  plat::IniFile ini(rig.IniPath());
  QCOMPARE(QByteArray::fromStdString(ini.ReadString("ACCOUNT", "Passwd", "missing")), stored);
}

void MainFormTest::levelWords_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("level");
  QTest::newRow("low") << "low" << 10;
  QTest::newRow("LOW") << "LOW" << 10;
  QTest::newRow("normal") << "normal" << 20;
  QTest::newRow("high") << "high" << 30;
  QTest::newRow("HiGh") << "HiGh" << 30;
  QTest::newRow("debug") << "debug" << 40;
  QTest::newRow("DEBUG") << "DEBUG" << 40;
  QTest::newRow("typo") << "hihg" << 20;
  QTest::newRow("empty") << "" << 20;
  QTest::newRow("leading blank") << " high" << 20;
  QTest::newRow("number") << "40" << 20;
}

void MainFormTest::levelWords() {
  QFETCH(QString, text);
  QFETCH(int, level);
  Rig rig("[LOGGING]\r\nLevel=10\r\n");
  QCOMPARE(int(Values.LogLevel), 10);
  rig.form->cbLogging->setEditText(text);
  rig.form->btnSaveConfigClick();
  QCOMPARE(int(Values.LogLevel), level);
  plat::IniFile ini(rig.IniPath());
  QCOMPARE(QString::fromStdString(ini.ReadString("LOGGING", "Level", "")), QString::number(level));
}

void MainFormTest::levelShown_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<int>("index");
  QTest::newRow("10") << QByteArray("[LOGGING]\nLevel=10\n") << 0;
  QTest::newRow("20") << QByteArray("[LOGGING]\nLevel=20\n") << 1;
  QTest::newRow("30") << QByteArray("[LOGGING]\nLevel=30\n") << 2;
  QTest::newRow("40") << QByteArray("[LOGGING]\nLevel=40\n") << 3;
  QTest::newRow("5") << QByteArray("[LOGGING]\nLevel=5\n") << 1;
  QTest::newRow("030") << QByteArray("[LOGGING]\nLevel=030\n") << 1;
  QTest::newRow("hex 40") << QByteArray("[LOGGING]\nLevel=$28\n") << 1;
  QTest::newRow("missing") << QByteArray("[ACCOUNT]\nAccount=a\n") << 1;
}

void MainFormTest::levelShown() {
  QFETCH(QByteArray, ini);
  QFETCH(int, index);
  Rig rig(ini.toStdString());
  rig.form->cbLogging->setCurrentIndex(3);
  rig.form->ConfigSheetShow();
  QCOMPARE(rig.form->cbLogging->currentIndex(), index);
}

void MainFormTest::settingsRoundTrip() {
  Rig rig("[ACCOUNT]\r\nAccount=J\xFCrgen\x80\r\nPasswd=4617b9a5e4ebe48c50e771f7882adbf1\r\n");
  TestForm& f = *rig.form;
  f.ConfigSheetShow();
  QCOMPARE(f.txtAccount->text(), QString::fromUtf8("Jürgen€"));
  QCOMPARE(f.txtDomain->text(), QStringLiteral("corvilink.example"));
  QCOMPARE(f.txtPassword->text(), QStringLiteral("4617b9a5e4ebe48c50e771f7882adbf1"));
  f.btnSaveConfigClick();
  plat::IniFile ini(rig.IniPath());
  QCOMPARE(ini.ReadString("ACCOUNT", "Account", ""), std::string("J\xFCrgen\x80"));
  QCOMPARE(ini.ReadString("ACCOUNT", "Domain", ""), std::string("corvilink.example"));
  QCOMPARE(ini.ReadString("ACCOUNT", "Passwd", ""), std::string("4617b9a5e4ebe48c50e771f7882adbf1"));
  // Edits are reloaded from the file each time the page is shown.
  f.txtAccount->setText(QStringLiteral("unsaved"));
  f.ConfigSheetShow();
  QCOMPARE(f.txtAccount->text(), QString::fromUtf8("Jürgen€"));
}

void MainFormTest::saveWriteFailure() {
  Rig rig;
  // A directory where the file should be: every write fails.
  QCOMPARE(mkdir(rig.IniPath().c_str(), 0755), 0);
  Values.LogLevel = 20;
  rig.form->cbLogging->setCurrentIndex(3);
  rig.form->btnSaveConfig->click();
  QCOMPARE(int(rig.errors.size()), 1);
  QCOMPARE(rig.errors[0], "In " + rig.IniPath() + " kann nicht geschrieben werden");
  // It stopped at the first write: no level set, no update brought forward.
  QCOMPARE(int(Values.LogLevel), 20);
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 5000u);
  // And the window goes on.
  rig.form->btnCheckIP->click();
  QCOMPARE(rig.engine->TimerMyIP.Interval(), 2500u);
}

void MainFormTest::updateNow_data() {
  QTest::addColumn<bool>("configError");
  QTest::addColumn<bool>("deactivated");
  QTest::newRow("neither") << false << false;
  QTest::newRow("config error") << true << false;
  QTest::newRow("deactivated") << false << true;
  QTest::newRow("both") << true << true;
}

void MainFormTest::updateNow() {
  QFETCH(bool, configError);
  QFETCH(bool, deactivated);
  Rig rig;
  Values.Language = std::string("D");  // plain "D" trips a false -Wrestrict of GCC 12
  Values.ConfigError = configError;
  Values.Deactivated = deactivated;
  rig.form->StatusTimerTimer();
  rig.form->btnLastSetIP->click();
  QVERIFY(rig.errors.empty());
  QVERIFY(!Values.ConfigError);
  QCOMPARE(Values.Deactivated, deactivated);
  if (configError || deactivated) {
    QCOMPARE(rig.Ini(), std::string("[ACCOUNT]\r\nCONFIGERROR=0\r\nDEACTIVATED=0\r\n"));
  } else {
    QVERIFY(!corvitest::FileExists(rig.IniPath()));
  }
  // The language re-applied at once: the deactivated text stays; the
  // configuration-error text goes at the next refresh.
  QCOMPARE(rig.form->lbMess->text(),
           deactivated ? kDeactivatedDe : configError ? kConfigErrorDe : QString());
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 2500u);
  Values.ServerMessage = "Hallo";
  rig.form->StatusTimerTimer();
  QCOMPARE(rig.form->lbMess->text(), deactivated ? kDeactivatedDe : QStringLiteral("Hallo"));
}

void MainFormTest::checkNow() {
  Rig rig;
  QVERIFY(!rig.engine->TimerMyIP.Enabled());
  rig.form->btnCheckIP->click();
  QCOMPARE(rig.engine->TimerMyIP.Interval(), 2500u);
  QVERIFY(!rig.engine->TimerMyIP.Enabled());
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 5000u);
  QVERIFY(!corvitest::FileExists(rig.IniPath()));
}

void MainFormTest::offlineFromFile_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<bool>("checked");
  QTest::addColumn<bool>("written");
  QTest::newRow("offline") << QByteArray("[ACCOUNT]\nOffline=1\n") << true << true;
  QTest::newRow("offline any non-zero") << QByteArray("[ACCOUNT]\nOffline=7\n") << true << true;
  QTest::newRow("online") << QByteArray("[ACCOUNT]\nOffline=0\n") << false << false;
  QTest::newRow("missing") << QByteArray("[ACCOUNT]\nAccount=a\n") << false << false;
}

void MainFormTest::offlineFromFile() {
  QFETCH(QByteArray, ini);
  QFETCH(bool, checked);
  QFETCH(bool, written);
  Rig rig(ini.toStdString());
  // Showing the window shows the status page.
  rig.form->show();
  QVERIFY(QTest::qWaitForWindowExposed(rig.form.get()));
  QCOMPARE(rig.form->chkOffline->isChecked(), checked);
  plat::IniFile file(rig.IniPath());
  if (written) {
    QCOMPARE(file.ReadString("ACCOUNT", "Offline", ""), std::string("1"));
    QCOMPARE(rig.engine->TimerSetIP.Interval(), 2500u);
  } else {
    QCOMPARE(rig.Ini(), ini.toStdString());
    QCOMPARE(rig.engine->TimerSetIP.Interval(), 5000u);
  }
}

void MainFormTest::offlineClick() {
  Rig rig;
  rig.form->chkOffline->click();
  QCOMPARE(rig.Ini(), std::string("[ACCOUNT]\r\nOffline=1\r\n"));
  QCOMPARE(rig.engine->TimerSetIP.Interval(), 2500u);
  rig.form->chkOffline->click();
  QCOMPARE(rig.Ini(), std::string("[ACCOUNT]\r\nOffline=0\r\n"));
  // The engine's value waits for its next read of the file.
  QVERIFY(!Values.Offline);
}

void MainFormTest::focusPausesRefresh() {
  Rig rig("[ACCOUNT]\r\nLanguage=D\r\n");
  TestForm& f = *rig.form;
  f.show();
  f.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&f));
  f.PageControl1->setCurrentIndex(1);
  f.txtAccount->setFocus(Qt::TabFocusReason);
  QTRY_VERIFY(f.txtAccount->hasFocus());
  QCOMPARE(f.cbLanguage->currentIndex(), 0);
  QVERIFY(f.StatusTimer->isActive());

  f.cbLanguage->setFocus(Qt::TabFocusReason);
  QTRY_VERIFY(f.cbLanguage->hasFocus());
  QVERIFY(!f.StatusTimer->isActive());
  // The user picks English; nothing refreshes it back meanwhile.
  f.cbLanguage->setCurrentIndex(1);
  Values.LogSlot[0] = "Info!    waiting";
  QTest::qWait(350);
  QCOMPARE(Values.LogSlot[0], std::string("Info!    waiting"));
  QCOMPARE(f.cbLanguage->currentIndex(), 1);

  // Losing the window's activation is not leaving the combo.
  QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(f.cbLanguage, &away);
  QVERIFY(!f.StatusTimer->isActive());

  // Leaving it for another control: the refresh resumes and undoes the choice.
  f.txtDomain->setFocus(Qt::TabFocusReason);
  QTRY_VERIFY(f.txtDomain->hasFocus());
  QVERIFY(f.StatusTimer->isActive());
  QTRY_VERIFY(Values.LogSlot[0].empty());
  QCOMPARE(f.cbLanguage->currentIndex(), 0);
}

void MainFormTest::configErrorAtStart_data() {
  QTest::addColumn<bool>("configError");
  QTest::newRow("flag stored") << true;
  QTest::newRow("no flag") << false;
}

void MainFormTest::configErrorAtStart() {
  QFETCH(bool, configError);
  Rig rig(configError ? "[ACCOUNT]\r\nCONFIGERROR=1\r\n" : "[ACCOUNT]\r\nCONFIGERROR=0\r\n");
  TCorvilinkC& e = *rig.engine;
  QCOMPARE(Values.ConfigError, configError);
  // StartEngine switches these on again in either case.
  QVERIFY(e.TimerSetIP.Enabled());
  QVERIFY(e.TimerRun.Enabled());
  QVERIFY(!e.TimerMyIP.Enabled());
  QVERIFY(!e.TimerDNSCheck.Enabled());
  QVERIFY(!e.TimerDNSRandom.Enabled());
  QVERIFY(!e.TimerSleep.Enabled());
  QCOMPARE(e.TimerDNS.Enabled(), !configError);
  QCOMPARE(Values.Mode, std::string("GUI"));
  QCOMPARE(Values.AuthCode, std::string("CORVIL046W"));
  QCOMPARE(rig.form->lbMess->text(), configError ? kConfigErrorEn : QString());
}

void MainFormTest::arguments_data() {
  QTest::addColumn<int>("count");
  QTest::addColumn<bool>("tabVisible");
  QTest::newRow("none") << 0 << true;
  QTest::newRow("one") << 1 << true;
  QTest::newRow("two") << 2 << false;
  QTest::newRow("three") << 3 << false;
}

void MainFormTest::arguments() {
  QFETCH(int, count);
  QFETCH(bool, tabVisible);
  Rig rig(std::string(), count);
  TestForm& f = *rig.form;
  QCOMPARE(f.PageControl1->isTabVisible(2), tabVisible);
  QCOMPARE(f.PageControl1->indexOf(f.LogsSheet), 2);
  QCOMPARE(f.PageControl1->tabText(2), QStringLiteral("Logging"));
  rig.ClearLog();
  Values.LogSlot[0] = "Info!    still listed";
  f.StatusTimerTimer();
  QCOMPARE(f.lstLogs->count(), 1);
}

void MainFormTest::formCreateFailure() {
  Rig rig("[ACCOUNT]\r\nCONFIGERROR=1\r\nLanguage=D\r\n", 0, true);
  QCOMPARE(int(rig.errors.size()), 1);
  QCOMPARE(rig.errors[0], std::string("Winsock.GetHostName failed"));
  // The steps before StartEngine happened, its own switching-on did not.
  QCOMPARE(rig.form->windowTitle(), QStringLiteral("Corvilink-Poster GUI 4.6"));
  QCOMPARE(Values.Mode, std::string("GUI"));
  QCOMPARE(rig.form->PageControl1->tabText(0), QStringLiteral("Status"));
  QVERIFY(!rig.engine->TimerSetIP.Enabled());
  QVERIFY(!rig.engine->TimerRun.Enabled());
  QVERIFY(rig.form->StatusTimer->isActive());
}

void MainFormTest::infoPage() {
  Rig rig;
  TestForm& f = *rig.form;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QCOMPARE(f.lbVersion->text(), QString());
  f.PageControl1->setCurrentIndex(3);
  QCOMPARE(f.lbVersion->text(), QStringLiteral("Corvilink-Poster GUI 4.6.0.100"));
  QCOMPARE(f.lbVersion->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
}

void MainFormTest::links() {
  Rig rig;
  TestForm& f = *rig.form;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QTest::mouseClick(f.Image3, Qt::LeftButton);
  f.PageControl1->setCurrentIndex(1);
  QTest::mouseClick(f.Image5, Qt::LeftButton);
  f.PageControl1->setCurrentIndex(3);
  QTest::mouseClick(f.Image4, Qt::LeftButton);
  QTest::mouseClick(f.Image4, Qt::RightButton);
  QTest::mouseClick(f.lbZemURL, Qt::LeftButton);
  const QString service = QStringLiteral("https://www.corvilink.example");
  QCOMPARE(f.urls, QStringList({service, service, service,
                                QStringLiteral("https://www.corvilink-software.example")}));

  QEvent enter(QEvent::Enter);
  QApplication::sendEvent(f.lbZemURL, &enter);
  QVERIFY(f.lbZemURL->font().underline());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(f.lbZemURL, &leave);
  QVERIFY(!f.lbZemURL->font().underline());
}

void MainFormTest::trayToggle() {
  Rig rig;
  TestForm& f = *rig.form;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  f.TrayIconDblClick();
  QVERIFY(!f.isVisible());
  // The refresh goes on while hidden.
  Values.LogSlot[0] = "Info!    hidden";
  f.StatusTimerTimer();
  QVERIFY(Values.LogSlot[0].empty());
  f.setWindowState(Qt::WindowMinimized);
  f.TrayIconDblClick();
  QVERIFY(f.isVisible());
  QVERIFY(!(f.windowState() & Qt::WindowMinimized));
  f.TrayIconDblClick();
  QVERIFY(!f.isVisible());
}

void MainFormTest::exitItem() {
  Rig rig;
  TestForm& f = *rig.form;
  QSignalSpy closed(&f, &desk::TMainForm::closed);
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  f.itemExit->trigger();
  QVERIFY(!f.isVisible());
  QCOMPARE(closed.count(), 1);
}

void MainFormTest::enterPressesSave() {
  Rig rig;
  TestForm& f = *rig.form;
  f.show();
  f.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&f));
  f.PageControl1->setCurrentIndex(1);
  f.txtAccount->setFocus(Qt::TabFocusReason);
  f.txtAccount->setText(QStringLiteral("neu"));
  QTest::keyClick(f.txtAccount, Qt::Key_Return);
  plat::IniFile ini(rig.IniPath());
  QCOMPARE(ini.ReadString("ACCOUNT", "Account", ""), std::string("neu"));
  QCOMPARE(ini.ReadString("ACCOUNT", "EXIT", ""), std::string("0"));
}

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"

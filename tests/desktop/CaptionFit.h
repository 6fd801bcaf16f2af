// The window's layout table, and what a person would see go wrong in it: a
// caption wider than the room its control gives it, controls that run into
// each other. Measured with each control's own font and style, so the
// offscreen tests and the real X server can both run it.
#pragma once

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>

#include <algorithm>
#include <vector>

#include "CorvilinkMain.h"
#include "CorvilinkProcedures.h"
#include "Pictures.h"

namespace layout {

struct Row {
  const char* name;
  const char* parent;
  const char* kind;
  int x, y, w, h;
  bool fixed;  // false: a label sized to its text; w is what its design caption takes
};

inline const std::vector<Row>& Table() {
  static const std::vector<Row> rows = {
      {"StatusBar", "MainForm", "QStatusBar", 0, 406, 455, 22, true},
      {"PageControl1", "MainForm", "QTabWidget", 4, 8, 445, 393, true},
      {"Image3", "StateSheet", "QWidget", 94, 0, 250, 57, true},
      {"gbAccountInfo", "StateSheet", "QGroupBox", 4, 47, 429, 89, true},
      {"lbIHostname", "gbAccountInfo", "QLabel", 8, 20, 51, 13, false},
      {"lbHostName", "gbAccountInfo", "QLabel", 68, 20, 349, 13, true},
      {"lbIActualIP", "gbAccountInfo", "QLabel", 8, 40, 54, 13, false},
      {"lbActualIP", "gbAccountInfo", "QLabel", 68, 40, 117, 13, true},
      {"lbILastUpdate", "gbAccountInfo", "QLabel", 208, 40, 101, 13, false},
      {"lbLastUpdate", "gbAccountInfo", "QLabel", 316, 40, 53, 13, false},
      {"lbITariff", "gbAccountInfo", "QLabel", 8, 64, 24, 13, false},
      {"lbTarif", "gbAccountInfo", "QLabel", 68, 64, 349, 13, true},
      {"chkOffline", "gbAccountInfo", "QCheckBox", 332, 64, 85, 13, true},
      {"lbIPAddress", "StateSheet", "QLabel", 4, 141, 429, 45, true},
      {"lbMess", "StateSheet", "QLabel", 4, 200, 429, 157, true},
      {"gbLanguage", "ConfigSheet", "QGroupBox", 4, 8, 200, 57, true},
      {"lbLanguage", "gbLanguage", "QLabel", 8, 24, 43, 13, false},
      {"cbLanguage", "gbLanguage", "QComboBox", 64, 20, 89, 21, true},
      {"gbLogVele", "ConfigSheet", "QGroupBox", 232, 8, 200, 57, true},
      {"Label3", "gbLogVele", "QLabel", 8, 24, 29, 13, false},
      {"cbLogging", "gbLogVele", "QComboBox", 64, 20, 89, 21, true},
      {"gbAccountData", "ConfigSheet", "QGroupBox", 4, 72, 429, 105, true},
      {"lbAccount", "gbAccountData", "QLabel", 8, 24, 43, 13, false},
      {"lbDomain", "gbAccountData", "QLabel", 8, 48, 39, 13, false},
      {"lbPassword", "gbAccountData", "QLabel", 8, 72, 46, 13, false},
      {"txtAccount", "gbAccountData", "QLineEdit", 64, 20, 161, 21, true},
      {"txtDomain", "gbAccountData", "QLineEdit", 64, 44, 161, 21, true},
      {"txtPassword", "gbAccountData", "QLineEdit", 64, 68, 161, 21, true},
      {"Image5", "gbAccountData", "QWidget", 239, 26, 175, 57, true},
      {"gbLastSetIP", "ConfigSheet", "QGroupBox", 4, 184, 429, 53, true},
      {"lbLastSetIP", "gbLastSetIP", "QLabel", 8, 24, 101, 13, false},
      {"txtLastSetIP", "gbLastSetIP", "QLineEdit", 112, 20, 113, 21, true},
      {"btnLastSetIP", "gbLastSetIP", "QPushButton", 240, 16, 96, 25, true},
      {"gbLastIPDetect", "ConfigSheet", "QGroupBox", 4, 244, 429, 81, true},
      {"lbLastKnownIP", "gbLastIPDetect", "QLabel", 8, 24, 93, 13, false},
      {"txtActualIP", "gbLastIPDetect", "QLineEdit", 112, 20, 113, 21, true},
      {"lbIPDetected", "gbLastIPDetect", "QLabel", 8, 52, 39, 13, false},
      {"txtLastIPDetect", "gbLastIPDetect", "QLineEdit", 112, 48, 113, 21, true},
      {"btnCheckIP", "gbLastIPDetect", "QPushButton", 240, 44, 96, 25, true},
      {"btnSaveConfig", "ConfigSheet", "QPushButton", 336, 336, 96, 25, true},
      {"lstLogs", "LogsSheet", "QListWidget", 4, 12, 429, 341, true},
      {"lbVersion", "InfoSheet", "QLabel", 4, 16, 430, 13, true},
      {"Image4", "InfoSheet", "QWidget", 36, 50, 357, 50, true},
      {"GroupBox11", "InfoSheet", "QGroupBox", 4, 132, 429, 197, true},
      {"lbZemURL", "GroupBox11", "QLabel", 200, 68, 0, 0, false},
  };
  return rows;
}

// Free pixels wanted between two controls side by side.
inline constexpr int kGap = 2;

// The widest line of a caption in the control's own font.
inline int TextWidth(const QWidget* w, const QString& text) {
  const QFontMetrics fm(w->font());
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n')))
    widest = std::max(widest, fm.horizontalAdvance(line));
  return widest;
}

struct Caption {
  QString text;  // empty: the control shows none
  int width = 0;
  int room = 0;
};

// The caption and the width its control leaves for it, as the control's
// style draws it. A label sized to its text has what the layout table gives
// its design caption; in the other language it may grow, into free space only.
inline Caption CaptionOf(QWidget* w, const Row& row, bool designCaption) {
  Caption c;
  QStyle* style = w->style();
  if (auto* l = qobject_cast<QLabel*>(w)) {
    c.text = l->text();
    // lbLastUpdate shows the time of the last update, not a caption.
    const bool sizedForDesign = !row.fixed && designCaption && row.w > 0 &&
                                QLatin1String(row.name) != QLatin1String("lbLastUpdate");
    c.room = sizedForDesign ? row.w : l->contentsRect().width();
  } else if (auto* b = qobject_cast<QPushButton*>(w)) {
    QStyleOptionButton o;
    o.initFrom(b);
    o.text = b->text();
    if (b->isDefault()) o.features |= QStyleOptionButton::DefaultButton;
    c.text = b->text();
    c.room = style->subElementRect(QStyle::SE_PushButtonContents, &o, b).width();
  } else if (auto* k = qobject_cast<QCheckBox*>(w)) {
    QStyleOptionButton o;
    o.initFrom(k);
    o.text = k->text();
    c.text = k->text();
    c.room = style->subElementRect(QStyle::SE_CheckBoxContents, &o, k).width();
  } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
    QStyleOptionGroupBox o;
    o.initFrom(g);
    o.text = g->title();
    o.textAlignment = g->alignment();
    o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = style->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
    c.text = g->title();
    // The title starts indented; the same indent stays free at the right.
    c.room = g->width() - 2 * std::max(0, label.left());
  } else if (auto* t = qobject_cast<QTabWidget*>(w)) {
    for (int i = 0; i < t->count(); ++i) c.text += t->tabText(i) + QLatin1Char(' ');
    // All tabs in one row, no scroll buttons.
    c.width = t->tabBar()->sizeHint().width();
    c.room = t->width();
    return c;
  }
  c.width = TextWidth(w, c.text);
  return c;
}

// Where a control shows something, in its parent's coordinates: a label its
// text, a picture its painted pixels, anything else its whole rectangle.
inline QRect Occupied(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) {
    if (l->text().isEmpty()) return QRect();
    const QFontMetrics fm(l->font());
    return fm.boundingRect(l->contentsRect(), int(l->alignment()), l->text()).translated(l->pos());
  }
  if (dynamic_cast<desk::LogoImage*>(w) != nullptr) {
    QImage img(w->size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    w->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    QRect painted;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x)
        if (qAlpha(img.pixel(x, y)) != 0) painted |= QRect(x, y, 1, 1);
    return painted.translated(w->pos());
  }
  return w->geometry();
}

// What is wrong with one control of the table as the window shows it now.
inline QStringList Problems(desk::TMainForm* form, const Row& row, bool designCaption) {
  QStringList problems;
  const QString name = QString::fromLatin1(row.name);
  QWidget* w = form->findChild<QWidget*>(name);
  if (w == nullptr) return {name + ": missing"};

  const Caption c = CaptionOf(w, row, designCaption);
  if (!c.text.isEmpty() && c.width > c.room)
    problems << QStringLiteral("%1: \"%2\" takes %3 px, has %4").arg(name, c.text).arg(c.width).arg(c.room);
  if (auto* l = qobject_cast<QLabel*>(w)) {
    // Lines below each other must fit as well.
    const QFontMetrics fm(l->font());
    const int lines = int(l->text().count(QLatin1Char('\n'))) + 1;
    if (lines > 1 && lines * fm.lineSpacing() > l->contentsRect().height())
      problems << QStringLiteral("%1: %2 lines don't fit %3 px").arg(name).arg(lines).arg(l->height());
  }

  const QRect mine = Occupied(w);
  if (mine.isEmpty()) return problems;
  QWidget* parent = w->parentWidget();
  if (qobject_cast<QGroupBox*>(parent) && !parent->rect().contains(mine))
    problems << QStringLiteral("%1: runs out of %2").arg(name, parent->objectName());
  for (QWidget* other : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (other == w || other->isWindow() || other->objectName().isEmpty()) continue;
    const QRect theirs = Occupied(other);
    if (theirs.isEmpty()) continue;
    if (mine.adjusted(-kGap, -kGap, kGap, kGap).intersects(theirs))
      problems << QStringLiteral("%1 (%2,%3 %4x%5) is within %6 px of %7 (%8,%9 %10x%11)")
                      .arg(name)
                      .arg(mine.x())
                      .arg(mine.y())
                      .arg(mine.width())
                      .arg(mine.height())
                      .arg(kGap)
                      .arg(other->objectName())
                      .arg(theirs.x())
                      .arg(theirs.y())
                      .arg(theirs.width())
                      .arg(theirs.height());
  }
  return problems;
}

// The window in German, English, and with the account texts of both.
struct Language {
  const char* code;
  bool configError, deactivated;
};
inline const Language kLanguages[] = {
    {"D", false, false}, {"E", false, false}, {"D", true, false},
    {"E", true, false},  {"D", false, true},  {"E", false, true},
};

// Every problem of every control, in every language; the language is put back.
inline QStringList AllProblems(desk::TMainForm* form) {
  QStringList problems;
  const std::string language = corvilink::Values.Language;
  const bool configError = corvilink::Values.ConfigError, deactivated = corvilink::Values.Deactivated;
  for (const Language& l : kLanguages) {
    corvilink::Values.ConfigError = l.configError;
    corvilink::Values.Deactivated = l.deactivated;
    form->ApplyLanguage(l.code);
    for (const Row& row : Table())
      for (const QString& p : Problems(form, row, std::string(l.code) == "D"))
        problems << QString::fromLatin1(l.code) + ": " + p;
  }
  corvilink::Values.ConfigError = configError;
  corvilink::Values.Deactivated = deactivated;
  form->ApplyLanguage(language);
  return problems;
}

}  // namespace layout

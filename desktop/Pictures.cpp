#include "Pictures.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace desk {

namespace {

const QColor kNavy(0x12, 0x3C, 0x73);
const QColor kSky(0x3A, 0x8E, 0xD8);
const QColor kOrange(0xF2, 0x8C, 0x28);

// Two rounded chain links at an angle, in a square of side s at the origin.
void PaintLinks(QPainter& p, double s, const QColor& a, const QColor& b) {
  const double w = s * 0.58, h = s * 0.30, r = h / 2;
  p.save();
  p.translate(s / 2, s / 2);
  p.rotate(-35);
  QPen pen(a, s * 0.10, Qt::SolidLine, Qt::RoundCap);
  p.setBrush(Qt::NoBrush);
  p.setPen(pen);
  p.drawRoundedRect(QRectF(-w + s * 0.12, -r, w, h), r, r);
  pen.setColor(b);
  p.setPen(pen);
  p.drawRoundedRect(QRectF(-s * 0.12, -r, w, h), r, r);
  p.restore();
}

}  // namespace

void PaintLogo(QPainter& p, const QRectF& area) {
  if (area.width() <= 0 || area.height() <= 0) return;
  const double scale = std::min(area.width() / kLogoWidth, area.height() / kLogoHeight);
  const double w = kLogoWidth * scale, h = kLogoHeight * scale;
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.translate(area.left() + (area.width() - w) / 2, area.top() + (area.height() - h) / 2);
  p.scale(scale, scale);

  // The name and the claim, as paths so that they scale with the picture
  // whatever font is found; the whole is centred in the logo's width.
  QFont name(QStringLiteral("Sans Serif"));
  name.setPixelSize(23);
  name.setWeight(QFont::Bold);
  const QFontMetricsF nameMetrics(name);
  const double corviWidth = nameMetrics.horizontalAdvance(QStringLiteral("Corvi"));
  const double nameWidth = corviWidth + nameMetrics.horizontalAdvance(QStringLiteral("link"));
  QFont claim(QStringLiteral("Sans Serif"));
  claim.setPixelSize(9);
  const QString claimText = QStringLiteral("your name, your address");
  const double claimWidth = QFontMetricsF(claim).horizontalAdvance(claimText);
  const double textLeft = 38;
  const double contentWidth = textLeft + std::max(nameWidth, claimWidth + 1);
  p.translate(std::max(0.0, (kLogoWidth - contentWidth) / 2), 0);

  // The badge with the links.
  QLinearGradient fill(0, 0, 0, kLogoHeight);
  fill.setColorAt(0, kSky);
  fill.setColorAt(1, kNavy);
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(1, 1, 31, 31), 7, 7);
  p.save();
  p.translate(2, 2);
  PaintLinks(p, 29, Qt::white, kOrange);
  p.restore();

  QPainterPath text;
  text.addText(textLeft, 20, name, QStringLiteral("Corvi"));
  QPainterPath link;
  link.addText(textLeft + corviWidth, 20, name, QStringLiteral("link"));
  p.setBrush(kNavy);
  p.drawPath(text);
  p.setBrush(kOrange);
  p.drawPath(link);

  QPainterPath sub;
  sub.addText(textLeft + 1, 29, claim, claimText);
  p.setBrush(QColor(0x55, 0x5F, 0x6D));
  p.drawPath(sub);
  p.restore();
}

QIcon TrayIconPicture() {
  QPixmap pix(32, 32);
  pix.fill(Qt::transparent);
  QPainter p(&pix);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(kNavy);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  PaintLinks(p, 32, Qt::white, kOrange);
  p.end();
  return QIcon(pix);
}

void LogoImage::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintLogo(p, QRectF(rect()));
}

}  // namespace desk

// The service logo and the tray icon, drawn here rather than shipped as files.
#pragma once

#include <QIcon>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace desk {

// The logo's own proportions: wide enough that, centred in the status page's
// picture, it ends above the group box beneath.
inline constexpr double kLogoWidth = 250.0;
inline constexpr double kLogoHeight = 33.0;

// Draws the logo into `area`, centred and scaled proportionally to fit.
void PaintLogo(QPainter& p, const QRectF& area);

// 32 x 32, few colours.
QIcon TrayIconPicture();

// The logo as a picture control: drawn centred and scaled to fit; clicks are
// seen by the window through an event filter.
class LogoImage : public QWidget {
public:
  using QWidget::QWidget;

protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace desk

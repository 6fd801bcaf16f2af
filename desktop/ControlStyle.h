// The check box's narrow gap and the password field's asterisks, on top of
// the application's style. A style sheet said the same but loads Qt's
// style-sheet engine for two values; the check box keeps the geometry that
// engine gave it: the box centred on the caption's line, which puts it one
// pixel above the control, and the caption the gap away from the box.
#pragma once

#include <QProxyStyle>

namespace desk {

class ControlStyle : public QProxyStyle {
public:
  ControlStyle();

  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override;
  QRect subElementRect(SubElement element, const QStyleOption* option,
                       const QWidget* widget) const override;
  // The application's style would place the parts by its own geometry.
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;

private:
  static constexpr int kGap = 2;

  QSize IndicatorSize(const QStyleOption* option, const QWidget* widget) const;
};

}  // namespace desk

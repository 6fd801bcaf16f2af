#include "ControlStyle.h"

#include <QApplication>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>

#include <algorithm>

namespace desk {

ControlStyle::ControlStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {}

int ControlStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                              const QWidget* widget) const {
  if (metric == PM_CheckBoxLabelSpacing) return kGap;
  return QProxyStyle::pixelMetric(metric, option, widget);
}

int ControlStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                            QStyleHintReturn* data) const {
  if (hint == SH_LineEdit_PasswordCharacter) return '*';
  return QProxyStyle::styleHint(hint, option, widget, data);
}

QRect ControlStyle::subElementRect(SubElement element, const QStyleOption* option,
                                   const QWidget* widget) const {
  const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
  if (button == nullptr) return QProxyStyle::subElementRect(element, option, widget);
  const QRect& r = option->rect;
  const Qt::LayoutDirection direction = option->direction;
  switch (element) {
    case SE_CheckBoxIndicator:
      return alignedRect(direction, Qt::AlignLeft | Qt::AlignVCenter, IndicatorSize(option, widget),
                         r);
    case SE_CheckBoxContents: {
      const int box = IndicatorSize(option, widget).width();
      return visualRect(direction, r,
                        QRect(r.x() + box + kGap, r.y(), r.width() - box - kGap, r.height()));
    }
    case SE_CheckBoxFocusRect:
    case SE_CheckBoxClickRect: {
      // Around the caption as it is drawn, within the control; a click
      // counts there and on the box.
      const QRect contents =
          visualRect(direction, r, subElementRect(SE_CheckBoxContents, option, widget));
      QRect focus = itemTextRect(option->fontMetrics, contents,
                                 Qt::AlignAbsolute | Qt::AlignLeft | Qt::AlignVCenter |
                                     Qt::TextShowMnemonic,
                                 option->state & State_Enabled, button->text);
      focus = visualRect(direction, r, focus.adjusted(-3, -1, 3, 1).intersected(r));
      if (element == SE_CheckBoxFocusRect) return focus;
      return focus | subElementRect(SE_CheckBoxIndicator, option, widget);
    }
    default:
      return QProxyStyle::subElementRect(element, option, widget);
  }
}

void ControlStyle::drawControl(ControlElement element, const QStyleOption* option,
                               QPainter* painter, const QWidget* widget) const {
  const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
  if (element != CE_CheckBox || button == nullptr) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  QStyleOptionButton part = *button;
  part.rect = subElementRect(SE_CheckBoxIndicator, button, widget);
  drawPrimitive(PE_IndicatorCheckBox, &part, painter, widget);
  part.rect = subElementRect(SE_CheckBoxContents, button, widget);
  drawControl(CE_CheckBoxLabel, &part, painter, widget);
  if (button->state & State_HasFocus) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(*button);
    focus.rect = subElementRect(SE_CheckBoxFocusRect, button, widget);
    drawPrimitive(PE_FrameFocusRect, &focus, painter, widget);
  }
}

QSize ControlStyle::sizeFromContents(ContentsType type, const QStyleOption* option,
                                     const QSize& size, const QWidget* widget) const {
  if (type != CT_CheckBox) return QProxyStyle::sizeFromContents(type, option, size, widget);
  const QSize box = IndicatorSize(option, widget);
  return QSize(size.width() + box.width() + kGap, std::max(size.height(), box.height()));
}

QSize ControlStyle::IndicatorSize(const QStyleOption* option, const QWidget* widget) const {
  return QSize(pixelMetric(PM_IndicatorWidth, option, widget),
               pixelMetric(PM_IndicatorHeight, option, widget));
}

}  // namespace desk

// The yardstick for the desktop program's memory: an empty Qt Widgets window
// of the same client size, shown and left idle. Not part of the product.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setFixedSize(455, 428);
  window.setWindowTitle(QStringLiteral("barewindow"));
  window.show();
  return QApplication::exec();
}

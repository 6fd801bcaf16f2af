// The yardstick for the desktop program's memory: an empty Qt Widgets window
// of the same client size, shown and left idle. Not part of the product.
// With --text it shows one line of text too: what any text at all costs
// (fontconfig, FreeType, HarfBuzz, a font file).
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setFixedSize(455, 428);
  window.setWindowTitle(QStringLiteral("barewindow"));
  if (argc > 1 && std::strcmp(argv[1], "--text") == 0) {
    auto* label = new QLabel(QStringLiteral("Hostname:"), &window);
    label->move(8, 20);
  }
  window.show();
  return QApplication::exec();
}

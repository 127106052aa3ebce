#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <clocale>

// One QApplication for the whole test program; every test makes fresh
// widgets of its own.
int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C");
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) QDir().mkpath(QString::fromLocal8Bit(runtime));
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

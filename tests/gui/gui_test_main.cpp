#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <clocale>

// One QApplication for the whole test program; every test makes fresh
// widgets of its own.
int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C");
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) {
    // A private runtime folder, as a desktop session gives one.
    const QString folder = QString::fromLocal8Bit(runtime);
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

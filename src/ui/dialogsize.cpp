#include "dialogsize.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "config/inifile.h"

namespace zf::ui {
namespace {

// Room for a window manager's title bar and borders, unknown until shown.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 40;

class SizeMemory final : public QObject {
 public:
  SizeMemory(QWidget& dialog, std::string iniPath, std::string section)
      : QObject(&dialog), dialog_(dialog), path_(std::move(iniPath)), section_(std::move(section)) {
    dialog.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != &dialog_) return false;
    if (event->type() == QEvent::Show) Restore();
    if (event->type() == QEvent::Hide && dialog_.size() != shown_) Store();
    return false;
  }

 private:
  void Restore() {
    const IniDocument ini = ReadIniFile(path_);
    QSize wanted(ini.ReadInteger(section_, "width", 0), ini.ReadInteger(section_, "height", 0));
    if (wanted.width() <= 0 || wanted.height() <= 0) wanted = dialog_.size();
    shown_ = FitToScreen(dialog_, wanted);
    dialog_.resize(shown_);
    // A dialog moved beyond the screen's edge by its new size comes back.
    if (const QScreen* screen = dialog_.screen()) {
      const QRect area = screen->availableGeometry();
      QPoint at = dialog_.pos();
      at.setX(std::clamp(at.x(), area.left(), area.right() - shown_.width() - kFrameWidth));
      at.setY(std::clamp(at.y(), area.top(), area.bottom() - shown_.height() - kFrameHeight));
      if (at != dialog_.pos()) dialog_.move(at);
    }
  }

  void Store() {
    const QSize size = dialog_.size();
    // A size that cannot be kept costs the operator nothing but the size.
    (void)UpdateIniFile(path_, [&](IniDocument& ini) {
      ini.WriteInteger(section_, "width", size.width());
      ini.WriteInteger(section_, "height", size.height());
    });
    shown_ = size;
  }

  QWidget& dialog_;
  const std::string path_;
  const std::string section_;
  QSize shown_;
};

}  // namespace

QSize FitToScreen(const QWidget& window, QSize wanted) {
  const QScreen* screen = window.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return wanted;
  const QSize room = screen->availableGeometry().size() - QSize(kFrameWidth, kFrameHeight);
  const QSize least = window.minimumSizeHint().expandedTo(window.minimumSize());
  return wanted.boundedTo(room).expandedTo(least);
}

void RememberDialogSize(QWidget& dialog, std::string iniPath, std::string section) {
  new SizeMemory(dialog, std::move(iniPath), std::move(section));
}

}  // namespace zf::ui

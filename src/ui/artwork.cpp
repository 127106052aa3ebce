#include "artwork.h"

#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>
#include <memory>

// The resource lives in a static library, where nothing else would pull its
// registration into the program; this call does (outside any namespace, as
// the macro requires).
static void InitArtworkResource() {
  Q_INIT_RESOURCE(artwork);
}

namespace zf::ui {
namespace {

QString ResourcePath(const char* name) {
  static const bool initialised = (InitArtworkResource(), true);
  (void)initialised;
  return QStringLiteral(":/icons/") + QLatin1String(name);
}

// Draws the whole drawing into an image of `size` device pixels, keeping its
// proportions and centring it.
QImage Render(QSvgRenderer& renderer, const QSize& size) {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  if (size.isEmpty() || !renderer.isValid()) return image;
  const QSizeF fitted = QSizeF(renderer.defaultSize()).scaled(size, Qt::KeepAspectRatio);
  const QRectF target((size.width() - fitted.width()) / 2, (size.height() - fitted.height()) / 2,
                      fitted.width(), fitted.height());
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, target);
  return image;
}

// A disabled command's icon: the same drawing in grey, half transparent.
void MakeDisabled(QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = line[x];
      // Premultiplied: halving every channel halves the opacity alike.
      const int grey = qGray(pixel) / 2;
      line[x] = qRgba(grey, grey, grey, qAlpha(pixel) / 2);
    }
  }
}

// Renders one SVG drawing at whatever size a view asks for, instead of scaling
// a fixed bitmap; the rendered pixmaps are kept in the application's pixmap
// cache, so a long list repaints its markers without drawing them again.
class SvgIconEngine final : public QIconEngine {
 public:
  explicit SvgIconEngine(QString path)
      : path_(std::move(path)), renderer_(std::make_shared<QSvgRenderer>(path_)) {}

  QIconEngine* clone() const override { return new SvgIconEngine(*this); }
  QString key() const override { return QStringLiteral("zf-svg"); }
  bool isNull() override { return !renderer_->isValid(); }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    const QString cacheKey = QStringLiteral("zf-svg:%1:%2x%3:%4")
                                 .arg(path_)
                                 .arg(size.width())
                                 .arg(size.height())
                                 .arg(mode == QIcon::Disabled ? 1 : 0);
    QPixmap cached;
    if (QPixmapCache::find(cacheKey, &cached)) return cached;
    QImage image = Render(*renderer_, size);
    if (mode == QIcon::Disabled) MakeDisabled(image);
    QPixmap result = QPixmap::fromImage(std::move(image));
    QPixmapCache::insert(cacheKey, result);
    return result;
  }

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1;
    QPixmap drawn = pixmap(rect.size() * ratio, mode, state);
    drawn.setDevicePixelRatio(ratio);
    painter->drawPixmap(rect, drawn);
  }

 private:
  QString path_;
  // Shared by clones; a clone only ever reads it.
  std::shared_ptr<QSvgRenderer> renderer_;
};

QIcon SvgIcon(const char* name) {
  return QIcon(new SvgIconEngine(ResourcePath(name)));
}

}  // namespace

QPixmap SwitchPicture(bool on, qreal devicePixelRatio) {
  if (!(devicePixelRatio > 0)) devicePixelRatio = 1;
  QSvgRenderer renderer(ResourcePath(on ? "switch-on.svg" : "switch-off.svg"));
  const QSize pixels = (QSizeF(68, 26) * devicePixelRatio).toSize();
  QPixmap picture = QPixmap::fromImage(Render(renderer, pixels));
  picture.setDevicePixelRatio(devicePixelRatio);
  return picture;
}

QIcon QueueIcon(int image) {
  switch (image) {
    case 0:
      return SvgIcon("queue-idle.svg");
    case 1:
      return SvgIcon("queue-serving.svg");
    case 2:
      return SvgIcon("queue-disabled.svg");
    default:
      return {};
  }
}

QIcon StatusIcon(int status) {
  switch (status) {
    case 1:
      return SvgIcon("status-success.svg");
    case 2:
      return SvgIcon("status-failure.svg");
    default:
      return {};
  }
}

QIcon MenuIcon() {
  return SvgIcon("menu-configure-queue.svg");
}

QIcon HeaderIcon() {
  return SvgIcon("settings-header.svg");
}

QIcon AppIcon() {
  return SvgIcon("app.svg");
}

}  // namespace zf::ui

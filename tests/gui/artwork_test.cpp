#include "artwork.h"

#include <gtest/gtest.h>

#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <vector>

#include "guitestkit.h"

namespace zf::ui {
namespace {

struct Picture {
  const char* name;
  std::function<QPixmap(qreal ratio)> render;
  QSize size;  // device-independent
};

QPixmap IconAt(const QIcon& icon, QSize size, qreal ratio) {
  return icon.pixmap(size, ratio);
}

std::vector<Picture> AllPictures() {
  return {
      {"switch on", [](qreal r) { return SwitchPicture(true, r); }, {68, 26}},
      {"switch off", [](qreal r) { return SwitchPicture(false, r); }, {68, 26}},
      {"queue 0",
       [](qreal r) {
         return IconAt(QueueIcon(0), {48, 48}, r);
       },
       {48, 48}},
      {"queue 1",
       [](qreal r) {
         return IconAt(QueueIcon(1), {48, 48}, r);
       },
       {48, 48}},
      {"queue 2",
       [](qreal r) {
         return IconAt(QueueIcon(2), {48, 48}, r);
       },
       {48, 48}},
      {"status 1",
       [](qreal r) {
         return IconAt(StatusIcon(1), {16, 16}, r);
       },
       {16, 16}},
      {"status 2",
       [](qreal r) {
         return IconAt(StatusIcon(2), {16, 16}, r);
       },
       {16, 16}},
      {"menu",
       [](qreal r) {
         return IconAt(MenuIcon(), {16, 16}, r);
       },
       {16, 16}},
      {"header",
       [](qreal r) {
         return IconAt(HeaderIcon(), {48, 48}, r);
       },
       {48, 48}},
      {"app",
       [](qreal r) {
         return IconAt(AppIcon(), {48, 48}, r);
       },
       {48, 48}},
  };
}

int OpaquePixels(const QImage& image) {
  int count = 0;
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < argb.height(); ++y)
    for (int x = 0; x < argb.width(); ++x)
      if (qAlpha(argb.pixel(x, y)) > 0) ++count;
  return count;
}

// The mean colour of the opaque pixels in the given columns.
QColor MeanColour(const QImage& image, int fromX, int toX) {
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  long r = 0, g = 0, b = 0, n = 0;
  for (int y = 0; y < argb.height(); ++y)
    for (int x = fromX; x < toX; ++x) {
      const QRgb p = argb.pixel(x, y);
      if (qAlpha(p) < 255) continue;
      r += qRed(p), g += qGreen(p), b += qBlue(p), ++n;
    }
  if (n == 0) return {};
  return QColor(int(r / n), int(g / n), int(b / n));
}

TEST(Artwork, EveryPictureIsDrawnAtOneAndTwoTimesDensity) {
  for (const Picture& picture : AllPictures()) {
    SCOPED_TRACE(picture.name);
    const QPixmap single = picture.render(1);
    const QPixmap twice = picture.render(2);
    EXPECT_EQ(single.size(), picture.size);
    EXPECT_EQ(twice.size(), picture.size * 2);
    EXPECT_DOUBLE_EQ(twice.devicePixelRatio(), 2.0);
    // Well covered, not a stray pixel: a third of the area at least.
    const int area = picture.size.width() * picture.size.height();
    EXPECT_GT(OpaquePixels(single.toImage()), area / 3);
    EXPECT_GT(OpaquePixels(twice.toImage()), 4 * area / 3);
  }
}

TEST(Artwork, PicturesThatMeanDifferentThingsLookDifferent) {
  const auto image = [](const QPixmap& p) {
    return p.toImage().convertToFormat(QImage::Format_ARGB32);
  };
  EXPECT_NE(image(SwitchPicture(true)), image(SwitchPicture(false)));
  EXPECT_NE(image(QueueIcon(0).pixmap(48)), image(QueueIcon(1).pixmap(48)));
  EXPECT_NE(image(QueueIcon(0).pixmap(48)), image(QueueIcon(2).pixmap(48)));
  EXPECT_NE(image(QueueIcon(1).pixmap(48)), image(QueueIcon(2).pixmap(48)));
  EXPECT_NE(image(StatusIcon(1).pixmap(16)), image(StatusIcon(2).pixmap(16)));
}

TEST(Artwork, SwitchFieldAndStatusMarkersHaveTheirColours) {
  const auto greenish = [](QColor c) {
    return c.green() > c.red() + 40 && c.green() > c.blue() + 40;
  };
  const auto reddish = [](QColor c) { return c.red() > c.green() + 60 && c.red() > c.blue() + 60; };

  const QImage on = SwitchPicture(true).toImage();
  const QImage off = SwitchPicture(false).toImage();
  EXPECT_TRUE(greenish(MeanColour(on, 40, 60))) << "ON: green field at the right end";
  EXPECT_FALSE(greenish(MeanColour(on, 8, 28)));
  EXPECT_TRUE(reddish(MeanColour(off, 8, 28))) << "OFF: red field at the left end";
  EXPECT_FALSE(reddish(MeanColour(off, 40, 60)));

  EXPECT_TRUE(greenish(MeanColour(StatusIcon(1).pixmap(16).toImage(), 0, 16)));
  EXPECT_TRUE(reddish(MeanColour(StatusIcon(2).pixmap(16).toImage(), 0, 16)));
}

TEST(Artwork, UnknownNumbersGiveNoPicture) {
  EXPECT_TRUE(QueueIcon(3).isNull());
  EXPECT_TRUE(QueueIcon(-1).isNull());
  EXPECT_TRUE(StatusIcon(0).isNull());
  EXPECT_TRUE(StatusIcon(3).isNull());
  EXPECT_FALSE(QueueIcon(2).isNull());
  EXPECT_FALSE(StatusIcon(2).isNull());
}

TEST(Artwork, DisabledMenuIconIsGrey) {
  const QImage normal = MenuIcon().pixmap(16).toImage();
  const QImage disabled = MenuIcon().pixmap(QSize(16, 16), QIcon::Disabled).toImage();
  ASSERT_GT(OpaquePixels(disabled), 0);
  const QImage argb = disabled.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const QRgb p = argb.pixel(x, y);
      if (qAlpha(p) == 0) continue;
      EXPECT_LE(std::abs(qRed(p) - qBlue(p)), 2) << x << "," << y;
    }
  EXPECT_NE(normal.convertToFormat(QImage::Format_ARGB32), argb);
}

// A sheet of every picture at both densities on the window's light-blue
// ground, for review by eye.
TEST(Artwork, ScreenshotSheet) {
  QWidget sheet;
  sheet.setObjectName("artworkSheet");
  sheet.setAutoFillBackground(true);
  QPalette palette = sheet.palette();
  QLinearGradient ground(0, 0, 1, 0);
  ground.setCoordinateMode(QGradient::ObjectMode);
  ground.setColorAt(0, QColor(158, 190, 245));
  ground.setColorAt(1, QColor(196, 218, 250));
  palette.setBrush(QPalette::Window, ground);
  sheet.setPalette(palette);
  auto* grid = new QGridLayout(&sheet);
  int column = 0;
  for (const Picture& picture : AllPictures()) {
    auto* caption = new QLabel(picture.name);
    grid->addWidget(caption, 0, column, Qt::AlignCenter);
    for (int row = 1; row <= 2; ++row) {
      QPixmap pixmap = picture.render(row);
      // Shown at its pixel size, so the 2x row is a magnified look at the
      // high-density rendering.
      pixmap.setDevicePixelRatio(1);
      auto* label = new QLabel;
      label->setPixmap(pixmap);
      grid->addWidget(label, row, column, Qt::AlignCenter);
    }
    // The 1x rendering blown up pixel by pixel, to judge its sharpness.
    const QPixmap single = picture.render(1);
    auto* magnified = new QLabel;
    magnified->setPixmap(
        single.scaled(single.size() * 3, Qt::KeepAspectRatio, Qt::FastTransformation));
    grid->addWidget(magnified, 3, column, Qt::AlignCenter);
    ++column;
  }
  sheet.resize(sheet.sizeHint());
  ASSERT_TRUE(test::SaveScreenshot(sheet, "artwork"));
}

}  // namespace
}  // namespace zf::ui

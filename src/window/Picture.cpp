#include "window/Picture.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygon>

namespace ostra::window {

namespace {

// The standard sixteen-colour palette, the colours used here.
const QColor kBlack(0x00, 0x00, 0x00);
const QColor kDarkGreen(0x00, 0x80, 0x00);
const QColor kGreen(0x00, 0xFF, 0x00);
const QColor kOlive(0x80, 0x80, 0x00);
const QColor kYellow(0xFF, 0xFF, 0x00);
const QColor kGray(0x80, 0x80, 0x80);
const QColor kSilver(0xC0, 0xC0, 0xC0);
const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kNavy(0x00, 0x00, 0x80);

}  // namespace

QImage DownLoadPicture() {
  QImage image(48, 48, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);

  // The card: a green board with its edge connector.
  p.setPen(kBlack);
  p.setBrush(kDarkGreen);
  p.drawRect(3, 20, 41, 22);
  p.setPen(Qt::NoPen);
  p.setBrush(kYellow);
  for (int x = 7; x <= 38; x += 4) p.drawRect(x, 43, 2, 4);
  // Traces.
  p.setPen(kGreen);
  p.drawLine(6, 24, 13, 24);
  p.drawLine(6, 38, 13, 38);
  p.drawLine(34, 24, 40, 24);
  p.drawLine(34, 38, 40, 38);
  p.drawLine(8, 38, 8, 42);
  p.drawLine(38, 38, 38, 42);
  // The chip with its legs.
  p.setPen(kSilver);
  for (int y = 25; y <= 37; y += 3) {
    p.drawLine(13, y, 15, y);
    p.drawLine(32, y, 34, y);
  }
  p.setPen(kGray);
  p.setBrush(kBlack);
  p.drawRect(16, 23, 15, 16);
  p.setPen(kWhite);
  p.drawPoint(18, 25);

  // The arrow, loading into the chip.
  const QPolygon arrow({QPoint(19, 1), QPoint(28, 1), QPoint(28, 12), QPoint(35, 12),
                        QPoint(23, 30), QPoint(11, 12), QPoint(19, 12)});
  p.setPen(kNavy);
  p.setBrush(kYellow);
  p.drawPolygon(arrow);
  p.setPen(kOlive);
  p.drawLine(27, 2, 27, 13);
  p.drawLine(28, 13, 33, 13);
  p.end();
  return image;
}

QIcon WindowIcon() {
  const QImage picture = DownLoadPicture();
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    icon.addPixmap(QPixmap::fromImage(
        size == 48 ? picture
                   : picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  }
  return icon;
}

}  // namespace ostra::window

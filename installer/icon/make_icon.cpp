// Draws the installer's application icon (a rounded tile with a stylised schwa)
// into the PNG file named by the only argument. Run at build time.

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon <output.png>\n");
    return 2;
  }
  constexpr int kSize = 256;
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient background(0, 0, 0, kSize);
  background.setColorAt(0, QColor(0x3B, 0x7D, 0xD8));
  background.setColorAt(1, QColor(0x1D, 0x4E, 0x9E));
  p.setPen(Qt::NoPen);
  p.setBrush(background);
  p.drawRoundedRect(QRectF(12, 12, kSize - 24, kSize - 24), 48, 48);

  // The schwa: an open bowl with a bar across, in white.
  QPen pen(Qt::white, 22, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  QPainterPath schwa;
  schwa.moveTo(78, 104);
  schwa.cubicTo(96, 70, 176, 66, 184, 122);
  schwa.lineTo(184, 136);
  schwa.cubicTo(184, 196, 84, 206, 76, 140);
  schwa.lineTo(184, 140);
  p.drawPath(schwa);
  p.end();
  return image.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}

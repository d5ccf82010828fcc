// Draws one of the program's SVG pictures as PNG or ICO files at build time, with the Qt of the
// machine that builds, so that the window needs no SVG support of its own (the Qt of the
// Windows build has none):
//   render-artwork SVG OUT.png SIZE      the picture at SIZE x SIZE pixels
//   render-artwork SVG OUT.ico SIZE...   an icon file holding the picture at every SIZE (<= 256)
#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>
#include <vector>

namespace {

QImage draw(QSvgRenderer& svg, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    return image;
}

void putLittleEndian(QByteArray& out, unsigned value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>((value >> (8 * i)) & 0xFFu));
    }
}

// An icon file whose images are PNG files, as Windows has read them since Vista: a 6-byte
// header, a 16-byte entry per image (its width and height, 0 meaning 256, 32 bits a pixel, the
// size and offset of its PNG) and the PNGs.
QByteArray iconFile(const std::vector<std::pair<int, QByteArray>>& pngs) {
    QByteArray out;
    putLittleEndian(out, 0, 2);
    putLittleEndian(out, 1, 2);
    putLittleEndian(out, static_cast<unsigned>(pngs.size()), 2);
    auto offset = static_cast<unsigned>(6 + 16 * pngs.size());
    for (const auto& [size, png] : pngs) {
        const auto side = static_cast<unsigned>(size == 256 ? 0 : size);
        putLittleEndian(out, side, 1);
        putLittleEndian(out, side, 1);
        putLittleEndian(out, 0, 1);
        putLittleEndian(out, 0, 1);
        putLittleEndian(out, 1, 2);
        putLittleEndian(out, 32, 2);
        putLittleEndian(out, static_cast<unsigned>(png.size()), 4);
        putLittleEndian(out, offset, 4);
        offset += static_cast<unsigned>(png.size());
    }
    for (const auto& entry : pngs) {
        out.append(entry.second);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: render-artwork SVG OUT.png|OUT.ico SIZE...\n", stderr);
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "render-artwork: %s is not a readable SVG\n", argv[1]);
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    const bool icon = out.endsWith(QLatin1String(".ico"));
    if (!icon && argc != 4) {
        std::fputs("render-artwork: a PNG file has one size\n", stderr);
        return 2;
    }
    std::vector<std::pair<int, QByteArray>> pngs;
    for (int i = 3; i < argc; ++i) {
        bool number = false;
        const int size = QString::fromLatin1(argv[i]).toInt(&number);
        if (!number || size <= 0 || (icon && size > 256)) {
            std::fprintf(stderr, "render-artwork: bad size %s\n", argv[i]);
            return 2;
        }
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!draw(svg, size).save(&buffer, "PNG")) {
            std::fputs("render-artwork: cannot encode a PNG\n", stderr);
            return 1;
        }
        pngs.emplace_back(size, png);
    }
    QFile file(out);
    const QByteArray bytes = icon ? iconFile(pngs) : pngs.front().second;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
        std::fprintf(stderr, "render-artwork: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

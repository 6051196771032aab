// Build step: draws each SVG icon once, at every size the program shows it, as raw premultiplied ARGB32
// pixels that are compiled into the program uncompressed. At start-up the program neither parses SVG nor
// decodes images: an icon is a view of bytes already in memory.
//   velkor-iconpack OUTPUT_DIR SIZE[,SIZE...] ICON.svg...   writes OUTPUT_DIR/<name>-<size>.argb
//   velkor-iconpack --ico OUTPUT.ico SIZE[,SIZE...] ICON.svg  writes a Windows icon with those sizes

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

namespace {

QImage Draw(QSvgRenderer& renderer, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    return image;
}

// An .ico whose images are PNGs, which Windows reads at every size since Vista: a directory of entries
// (width and height 0 meaning 256), then the images.
QByteArray IconFile(QSvgRenderer& renderer, const QStringList& sizes) {
    QList<QByteArray> images;
    for (const QString& size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        Draw(renderer, size.toInt()).save(&buffer, "PNG");
        images << png;
    }
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const int size = sizes[i].toInt();
        stream << quint8(size >= 256 ? 0 : size) << quint8(size >= 256 ? 0 : size) << quint8(0) << quint8(0)
               << quint16(1) << quint16(32) << quint32(images[i].size()) << offset;
        offset += quint32(images[i].size());
    }
    for (const QByteArray& image : images) {
        stream.writeRawData(image.constData(), int(image.size()));
    }
    return out;
}

bool Write(const QString& path, const char* bytes, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes, size) != size) {
        std::fprintf(stderr, "velkor-iconpack: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the lettered blocks icon needs fonts
    const bool ico = argc == 5 && qstrcmp(argv[1], "--ico") == 0;
    if (argc < 4 || (qstrcmp(argv[1], "--ico") == 0 && !ico)) {
        std::fprintf(stderr, "usage: velkor-iconpack OUTPUT_DIR SIZES ICON.svg...\n"
                             "       velkor-iconpack --ico OUTPUT.ico SIZES ICON.svg\n");
        return 2;
    }
    const int first = ico ? 2 : 1;
    const QString output = QString::fromLocal8Bit(argv[first]);
    const QStringList sizes = QString::fromLocal8Bit(argv[first + 1]).split(QLatin1Char(','));
    for (int i = first + 2; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        QSvgRenderer renderer(path);
        if (!renderer.isValid()) {
            std::fprintf(stderr, "velkor-iconpack: cannot read %s\n", argv[i]);
            return 1;
        }
        if (ico) {
            const QByteArray file = IconFile(renderer, sizes);
            return Write(output, file.constData(), file.size()) ? 0 : 1;
        }
        for (const QString& size : sizes) {
            const QImage image = Draw(renderer, size.toInt());
            const QString out =
                QStringLiteral("%1/%2-%3.argb").arg(output, QFileInfo(path).completeBaseName(), size);
            if (!Write(out, reinterpret_cast<const char*>(image.constBits()),
                       static_cast<qint64>(image.sizeInBytes()))) {
                return 1;
            }
        }
    }
    return 0;
}

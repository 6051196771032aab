// Build step: draws each SVG icon once, at every size the program shows it, as raw premultiplied ARGB32
// pixels that are compiled into the program uncompressed. At start-up the program neither parses SVG nor
// decodes images: an icon is a view of bytes already in memory.
//   velkor-iconpack OUTPUT_DIR SIZE[,SIZE...] ICON.svg...   writes OUTPUT_DIR/<name>-<size>.argb

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the lettered blocks icon needs fonts
    if (argc < 4) {
        std::fprintf(stderr, "usage: velkor-iconpack OUTPUT_DIR SIZES ICON.svg...\n");
        return 2;
    }
    const QString outputDir = QString::fromLocal8Bit(argv[1]);
    const QStringList sizes = QString::fromLocal8Bit(argv[2]).split(QLatin1Char(','));
    for (int i = 3; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        QSvgRenderer renderer(path);
        if (!renderer.isValid()) {
            std::fprintf(stderr, "velkor-iconpack: cannot read %s\n", argv[i]);
            return 1;
        }
        for (const QString& sizeText : sizes) {
            int size = sizeText.toInt();
            QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter);
            painter.end();
            QString out =
                QStringLiteral("%1/%2-%3.argb").arg(outputDir, QFileInfo(path).completeBaseName(), sizeText);
            QFile file(out);
            auto bytes = static_cast<qint64>(image.sizeInBytes());
            if (!file.open(QIODevice::WriteOnly) ||
                file.write(reinterpret_cast<const char*>(image.constBits()), bytes) != bytes) {
                std::fprintf(stderr, "velkor-iconpack: cannot write %s\n", qPrintable(out));
                return 1;
            }
        }
    }
    return 0;
}

// tolvex-icon-pngs ICON.ico FOLDER NAME: writes each image of the Windows icon as
// FOLDER/<size>x<size>/apps/NAME.png, the layout of the hicolor icon theme. Run at build
// time, so the icon has one source.

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fputs("Usage: tolvex-icon-pngs ICON.ico FOLDER NAME\n", stderr);
        return 2;
    }
    QImageReader reader(args[1], "ico");
    int written = 0;
    do {
        const QImage image = reader.read();
        if (image.isNull() || image.width() != image.height()) {
            std::fprintf(stderr, "tolvex-icon-pngs: cannot read a square image %d of %s: %s\n",
                         reader.currentImageNumber(), qPrintable(args[1]), qPrintable(reader.errorString()));
            return 1;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(args[2]).arg(image.width());
        if (!QDir().mkpath(folder) || !image.save(folder + QLatin1Char('/') + args[3] + QStringLiteral(".png"))) {
            std::fprintf(stderr, "tolvex-icon-pngs: cannot write into %s\n", qPrintable(folder));
            return 1;
        }
        ++written;
    } while (reader.jumpToNextImage());
    return written > 0 ? 0 : 1;
}

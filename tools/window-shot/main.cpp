// tolvex-window-shot OUT.png [SECONDS]: builds the main window in the working
// directory exactly as the tool does, lets it run for a while, then saves a picture.

#include "MainWindow.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fputs("Usage: tolvex-window-shot OUT.png [SECONDS]\n", stderr);
        return 2;
    }
    const QString out = args.at(1);
    const int seconds = args.size() > 2 ? args.at(2).toInt() : 2;

    MainWindow window;
    window.show();
    int result = 0;
    QTimer::singleShot(seconds * 1000, &window, [&] {
        if (!window.grab().save(out)) {
            std::fprintf(stderr, "tolvex-window-shot: cannot save %s\n", qPrintable(out));
            result = 1;
        }
        QCoreApplication::exit(result);
    });
    const int loop = application.exec();
    return result ? result : loop;
}

#include "MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    MainWindow window; // destroyed before the application object
    window.show();
    return application.exec();
}

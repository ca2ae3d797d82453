#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

// A benchmark's run: its files in a folder of its own, removed at the end, and the programs'
// messages left out of its figures.
struct BenchFolder
{
    BenchFolder()
    {
        qputenv("QT_LOGGING_RULES", "*.warning=false;*.debug=false");
        QDir::setCurrent(dir.path());
    }
    QTemporaryDir dir;
};

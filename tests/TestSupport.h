#pragma once

// Helpers shared by the window tests: a Config.ini in a temporary working folder,
// and answering the modal boxes the product code opens with the plain QMessageBox
// functions.

#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "ModalAnswerer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

// A widget of the window by object name.
template <typename T = QWidget>
T *child(QWidget &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

// The text of a label of the window.
inline QString text(QWidget &window, const char *name)
{
    return child<QLabel>(window, name)->text();
}

// Makes a temporary folder the working directory for as long as it lives.
class WorkingFolder
{
public:
    WorkingFolder() : previous(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~WorkingFolder() { QDir::setCurrent(previous); }
    QString path() const { return dir.path(); }
    QString file(const QString &name) const { return dir.filePath(name); }

    bool writeConfig(const QByteArray &plain)
    {
        ConfigCipher cipher(ConfigurationKey);
        QFile f(file(QString::fromLatin1(ConfigurationFileName)));
        return f.open(QIODevice::WriteOnly) && f.write(cipher.encryptBytes(plain)) >= 0;
    }

private:
    QTemporaryDir dir;
    QString previous;
};

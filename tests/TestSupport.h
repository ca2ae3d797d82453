#pragma once

// Helpers shared by the window tests: a Config.ini in a temporary working folder,
// and answering the modal boxes the product code opens with the plain QMessageBox
// functions.

#include "ConfigCipher.h"
#include "ConfigFile.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

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

// What a modal box showed before the helper answered it.
struct SeenBox
{
    bool seen = false;
    QString className;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Waits, on the event loop, for the next modal box and presses the button with the
// given text. Polling on a short timer is how a test gets control inside the nested
// event loop of QMessageBox::exec().
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(QString buttonText) : answer(std::move(buttonText))
    {
        connect(&poll, &QTimer::timeout, this, &ModalAnswerer::check);
        poll.start(10);
    }
    SeenBox box;

private:
    void check()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        poll.stop();
        box.seen = true;
        box.className = QString::fromLatin1(modal->metaObject()->className());
        box.title = modal->windowTitle();
        if (auto *mb = qobject_cast<QMessageBox *>(modal)) {
            box.text = mb->text();
            box.icon = mb->icon();
            for (QAbstractButton *b : mb->buttons())
                box.buttons << b->text().remove(QLatin1Char('&'));
            for (QAbstractButton *b : mb->buttons()) {
                if (b->text().remove(QLatin1Char('&')) == answer) {
                    b->click();
                    return;
                }
            }
        }
        modal->close();
    }

    QString answer;
    QTimer poll;
};

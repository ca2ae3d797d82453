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
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

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

// What a modal box showed before the helper answered it.
struct SeenBox
{
    bool seen = false;
    QString className;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    // File dialogs
    bool saving = false;
    QString directory;
    QStringList nameFilters;
};

// Waits, on the event loop, for the next modal box and answers it: a message box by
// pressing the button with the given text, a file dialog by choosing the given path
// (an empty one cancels it). With a title, only a modal of that title is answered. Polling
// on a short timer is how a test gets control inside the nested event loop of exec().
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(QString buttonTextOrPath, QString onlyTitle = QString())
        : answer(std::move(buttonTextOrPath)), title(std::move(onlyTitle))
    {
        connect(&poll, &QTimer::timeout, this, &ModalAnswerer::check);
        poll.start(10);
    }
    SeenBox box;

private:
    void check()
    {
        QWidget *modal = QApplication::activeModalWidget();
        // Progress dialogs are the window's own business; only boxes and file dialogs are answered.
        if (!modal || (!qobject_cast<QMessageBox *>(modal) && !qobject_cast<QFileDialog *>(modal)))
            return;
        if (!title.isEmpty() && modal->windowTitle() != title)
            return;
        poll.stop();
        box.seen = true;
        box.className = QString::fromLatin1(modal->metaObject()->className());
        box.title = modal->windowTitle();
        if (auto *fd = qobject_cast<QFileDialog *>(modal)) {
            box.saving = fd->acceptMode() == QFileDialog::AcceptSave;
            box.directory = fd->directory().absolutePath();
            box.nameFilters = fd->nameFilters();
            if (answer.isEmpty()) {
                fd->reject();
            } else {
                // Typed into the name field, then taken as it stands: accept() would also
                // look the name up in the dialog's file-system model, which fills in on a
                // thread of its own, and could stop on a nested "not found" box.
                auto *edit = fd->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                if (edit)
                    edit->setText(answer);
                static_cast<QDialog *>(fd)->done(edit ? QDialog::Accepted : QDialog::Rejected);
            }
            return;
        }
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
            modal->close();
        }
    }

    QString answer;
    QString title;
    QTimer poll;
};

#pragma once

// Answers the modal boxes that the window opens with the plain QMessageBox and QFileDialog
// functions, from inside their nested event loops: how the demo's headless road and the
// tests press "Yes" or choose a file.

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

// What a modal box showed before the helper answered it.
struct SeenBox
{
    bool seen = false;
    QString className;
    QString title;
    QString text;
    QString detailedText;
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
            box.detailedText = mb->detailedText();
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

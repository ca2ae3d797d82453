#pragma once

// Watches the main window while a slot runs its nested event loops: the status texts,
// progress values and time read-outs shown, and the "Connecting..." dialogs with how long
// each stayed up.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <functional>

class WindowWatcher : public QObject
{
public:
    explicit WindowWatcher(QWidget &window) : window(window)
    {
        connect(&poll, &QTimer::timeout, this, &WindowWatcher::sample);
        clock.start();
        poll.start(5);
    }

    QStringList statuses;
    QList<int> percents;
    QStringList times;
    QList<qint64> connectingShownMs; // one entry per "Connecting..." dialog, once it closed
    int connectingOpen = 0;

    // The longest the window's thread went without processing its events.
    qint64 longestGapMs = 0;

    // Also called by the test once a slot has returned, for the state it ended in.
    void sample()
    {
        const qint64 now = clock.elapsed();
        longestGapMs = std::max(longestGapMs, now - lastSampleMs);
        lastSampleMs = now;
        record(statuses, window.findChild<QLabel *>(QStringLiteral("lbl_Status"))->text());
        record(times, window.findChild<QLabel *>(QStringLiteral("lbl_operationTime"))->text());
        const int value = window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value();
        if (percents.isEmpty() || percents.last() != value)
            percents.append(value);

        bool visible = false;
        for (QProgressDialog *d : window.findChildren<QProgressDialog *>())
            visible = visible || (d->isVisible() && d->labelText() == QLatin1String("Connecting..."));
        if (visible && !shownSince.isValid()) {
            shownSince.start();
            ++connectingOpen;
        } else if (!visible && shownSince.isValid()) {
            connectingShownMs.append(shownSince.elapsed());
            shownSince.invalidate();
        }
    }

private:
    void record(QStringList &list, const QString &text)
    {
        if (list.isEmpty() || list.last() != text)
            list.append(text);
    }

    QWidget &window;
    QTimer poll;
    QElapsedTimer clock;
    qint64 lastSampleMs = 0;
    QElapsedTimer shownSince;
};

// Runs `action` once, from inside the window's nested event loop, as soon as a
// "Connecting..." dialog is up.
class WhenConnecting : public QObject
{
public:
    WhenConnecting(QWidget &window, std::function<void()> action) : window(window), action(std::move(action))
    {
        connect(&poll, &QTimer::timeout, this, &WhenConnecting::check);
        poll.start(5);
    }
    bool done = false;

private:
    void check()
    {
        for (QProgressDialog *d : window.findChildren<QProgressDialog *>()) {
            if (d->isVisible() && d->labelText() == QLatin1String("Connecting...")) {
                poll.stop();
                done = true;
                action();
                return;
            }
        }
    }

    QWidget &window;
    std::function<void()> action;
    QTimer poll;
};

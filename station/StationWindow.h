#pragma once

#include "HistoryWriter.h"
#include "Station.h"
#include "StationProfile.h"
#include "StationTile.h"

#include <QMap>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QGridLayout;
class QSoundEffect;

// The station screen for line operators: a tile per port of the fixture, the firmware and the
// lot in the header, the lot's counters, Pause and Resume. Everything else is hands-free:
// boards start when they are plugged in, a barcode scanner is read wherever the focus is, and
// closing the window finishes the running boards first. The rules are update::Station's.
class StationWindow : public QWidget
{
    Q_OBJECT

public:
    struct Setup
    {
        update::StationProfile profile;
        update::Station::Settings settings; // operator and lot already given
        update::StationFirmware firmware;
        // The central history (the profile's, else central.conf's) and central.conf's
        // settings, as the terminal station takes them; none: the rows stay local.
        update::HistorySettings history;
    };
    static constexpr int MinimumWidth = 800;
    static constexpr int MinimumHeight = 480;
    explicit StationWindow(const Setup &setup, QWidget *parent = nullptr);
    ~StationWindow() override;

    update::Station &station() { return *station_; }
    StationTile *tile(const QString &port) const { return tiles.value(port); }
    QList<StationTile *> allTiles() const { return tiles.values(); }
    // What a tile tells an operator for a board's end: its state and the one thing to do.
    static StationTile::State stateOf(const update::Session &s, const update::History::Record &r);
    static QString instructionFor(const update::Session &s, const update::History::Record &r);
    // Installs the screen's translation for `language` ("de", "es", "zh_CN"; empty: the
    // system's locale); false when there is none for it (the screen is then in English).
    static bool loadLanguage(const QString &language);
    // The sound of a board's end: done, or one that needs a hand.
    static QUrl soundOf(bool needsHand);

    // The lot's tally for people, as "End lot" shows it.
    QString lotSummary() const;

public Q_SLOTS:
    void pause();
    void resume();
    // Ends the lot once its running boards are done, and goes on with `next`.
    void endLot(const QString &next);

Q_SIGNALS:
    // A board ended (for sounds and tests): whether it needs a hand.
    void boardEnded(const QString &port, bool needsHand);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void wire();
    void startLot();
    void askEndLot();
    StationTile *tileFor(const QString &port);
    void showCounters();
    void showHeader();
    void placeTiles();

    Setup setup;
    std::unique_ptr<update::HistoryWriter> history;
    std::unique_ptr<update::Station> station_;
    QMap<QString, StationTile *> tiles;
    QStringList order; // ports in the fixture's order
    QGridLayout *grid = nullptr;
    QLabel *firmwareLine = nullptr;
    QLabel *lotLine = nullptr;
    QLabel *lockLine = nullptr;
    QLabel *statusLine = nullptr;
    QLabel *counters = nullptr;
    QLabel *rates = nullptr;
    QPushButton *pauseButton = nullptr;
    QPushButton *resumeButton = nullptr;
    QPushButton *endLotButton = nullptr;
    std::optional<QString> nextLot; // asked for: begins once the running boards are done
    QSoundEffect *doneSound = nullptr; // null when the profile turns sound off
    QSoundEffect *handSound = nullptr;
    QString typed; // what a scanner typed since its last Enter
    QTimer typedTimeout;
    bool closing = false;
    bool over = false;
};

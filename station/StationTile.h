#pragma once

#include <QFrame>

class QLabel;
class QProgressBar;

// One port of the fixture on the station screen, named by its label: its state in words, in
// colour and by a symbol (colour is never the only cue), what the operator is to do, the
// board's serial and its time. Every part has the same place in every tile. Tapping the tile
// shows the technical message in place of the instruction, and tapping again hides it.
class StationTile : public QFrame
{
    Q_OBJECT

public:
    enum class State { Empty, Waiting, Updating, Done, UpToDate, Refused, Failed, Pulled, Blocked };

    StationTile(const QString &label, const QString &port, QWidget *parent = nullptr);

    void setState(State state, const QString &detail, const QString &instruction, const QString &technical);
    void setSerial(const QString &serial);
    void setTime(const QString &time);
    void setProgress(int percent); // -1: none
    void setScannedLabel(const QString &label, bool mismatch);
    void setHighContrast(bool on);
    // Scales the texts to the tile's height, for a screen read at two metres.
    void fitTexts();

    State state() const { return state_; }
    const QString &label() const { return label_; }
    const QString &port() const { return port_; }
    QString instruction() const;
    bool technicalShown() const { return technicalShown_; }

    // The colour of a state, and its word and symbol for people.
    static QColor colourOf(State s, bool highContrast);
    static QString wordOf(State s);
    static QString symbolOf(State s);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void paint();
    void describe();

    QString label_;
    QString port_;
    State state_ = State::Waiting;
    QString detail_, instruction_, technical_, serial_, time_, scanned_;
    bool scanMismatch = false;
    bool technicalShown_ = false;
    bool highContrast = false;
    QLabel *name = nullptr;
    QLabel *stateLine = nullptr;
    QLabel *todo = nullptr;
    QLabel *serialLine = nullptr;
    QLabel *timeLine = nullptr;
    QProgressBar *bar = nullptr;
};

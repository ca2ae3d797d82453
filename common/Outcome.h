#pragma once

// What a public function of dfu/ and update/ that can fail gives back: a kind that says what
// the caller may do about it, and a message for people. Each level that passes one up puts its
// own context in front ("the profile P: line 3: ..."), so the message says where as well as
// what, as the levels below knew it.

#include <QString>

#include <utility>

class Outcome
{
public:
    enum class Kind {
        Ok,
        // What was given cannot be taken (a file, a profile, a setting); nothing was done.
        Refused,
        // Not now (locked, busy, away): the same may work when tried again.
        Unavailable,
        // It was tried and did not work (a device, a disk); the same again will not help.
        Failed
    };

    Outcome() = default;
    static Outcome ok() { return Outcome(); }
    static Outcome refused(QString message) { return Outcome(Kind::Refused, std::move(message)); }
    static Outcome unavailable(QString message) { return Outcome(Kind::Unavailable, std::move(message)); }
    static Outcome failed(QString message) { return Outcome(Kind::Failed, std::move(message)); }

    bool isOk() const { return kind_ == Kind::Ok; }
    explicit operator bool() const { return isOk(); }
    Kind kind() const { return kind_; }
    const QString &message() const { return message_; }

    // The same outcome, its message behind `context` ("context: message"); an Ok stays Ok.
    Outcome within(const QString &context) const
    {
        return isOk() ? *this : Outcome(kind_, context + QStringLiteral(": ") + message_);
    }
    // The same outcome, `more` after its message (what the caller knows of what to do next);
    // an Ok stays Ok.
    Outcome followedBy(const QString &more) const { return isOk() ? *this : Outcome(kind_, message_ + more); }

private:
    Outcome(Kind kind, QString message) : kind_(kind), message_(std::move(message)) { }

    Kind kind_ = Kind::Ok;
    QString message_;
};

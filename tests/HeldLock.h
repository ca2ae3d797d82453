#pragma once

// Holds an SQLite database's write lock from a connection of its own, as another program's
// open transaction would, until it is destroyed.

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

struct HeldLock
{
    explicit HeldLock(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        db.setDatabaseName(path);
        held = db.open() && QSqlQuery(db).exec(QStringLiteral("BEGIN IMMEDIATE"));
    }
    ~HeldLock()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(Name, false);
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        QSqlDatabase::removeDatabase(Name);
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

    bool held = false;

private:
    const QString Name = QStringLiteral("held-lock");
};

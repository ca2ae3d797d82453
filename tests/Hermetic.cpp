// Linked into every test: the trusted-key folders start empty, so that keys installed on the
// machine change no test (a test that wants keys points the folders at its own), and the
// default history is a fresh one of the process's own, never the user's nor an earlier run's.

#include "FileSignature.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

namespace {
QTemporaryDir &stateFolder()
{
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/tolvex-test-state-XXXXXX"));
    return folder;
}

const bool noMachineState = [] {
    dfulib::setTrustedKeyFolders({});
    qputenv("XDG_STATE_HOME", stateFolder().path().toLocal8Bit());
    return true;
}();
} // namespace

#pragma once

// The benchmarks that need a central history start a private PostgreSQL server, as the tests
// start theirs: the program runs again under tests/with_postgres.sh, which sets
// TOLVEX_TEST_CENTRAL and stops the server at the end whatever happened.

#include "BenchFolder.h"

#include <QtGlobal>

#include <cstdio>
#include <vector>

#include <unistd.h>

// Returns only under the server (true), or when it cannot be started (false).
inline bool underPrivateServer(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsEmpty("TOLVEX_TEST_CENTRAL"))
        return true;
    std::vector<char *> args{const_cast<char *>("bash"), const_cast<char *>(TOLVEX_WITH_POSTGRES)};
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("bash", args.data());
    std::perror("bash");
    return false;
}

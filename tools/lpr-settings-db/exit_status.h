/*
 * lpr-settings-db's exit statuses, the same for every command (also in its --help and
 * docs/database.md), and the one way it reports a failure.
 */
#ifndef LPR_SETTINGS_DB_EXIT_STATUS_H
#define LPR_SETTINGS_DB_EXIT_STATUS_H

#include <cstdio>
#include <string>

namespace cli {

enum ExitStatus {
    kExitOk = 0,
    kExitDatabase = 1, /* the database (or a file) could not be read or written */
    kExitUsage = 2,    /* a wrong command line: unknown command or key, missing argument */
    kExitRefused = 3,  /* a value or document broke the settings' rules; nothing stored */
    kExitLive = 4,     /* a running settings daemon holds the database; nothing stored */
};

/* "lpr-settings-db: <message>" on standard error; returns status. */
inline int fail(int status, const std::string& message) {
    std::fprintf(stderr, "lpr-settings-db: %s\n", message.c_str());
    return status;
}

}  // namespace cli

#endif /* LPR_SETTINGS_DB_EXIT_STATUS_H */

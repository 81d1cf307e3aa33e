/*
 * lpr-settings-db's commands. Each takes its arguments as the command line gave them
 * (after the command's name, options removed), prints its results on standard output and
 * its failures on standard error, and returns an exit status (exit_status.h).
 */
#ifndef LPR_SETTINGS_DB_COMMANDS_H
#define LPR_SETTINGS_DB_COMMANDS_H

#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

/* Options that apply to every command. */
struct Options {
    bool force = false; /* write a database that a running settings daemon holds */
};

/* edit_commands.cpp: the database's own terms and single values. */
int cmd_create(const Args& args, const Options& options);
int cmd_show(const Args& args, const Options& options);
int cmd_get(const Args& args, const Options& options);
int cmd_set(const Args& args, const Options& options);
int cmd_check(const Args& args, const Options& options);
int cmd_keys(const Args& args, const Options& options);

/* backup_commands.cpp: whole documents in the API's terms. */
int cmd_export(const Args& args, const Options& options);
int cmd_import(const Args& args, const Options& options);
int cmd_diff(const Args& args, const Options& options);

}  // namespace cli

#endif /* LPR_SETTINGS_DB_COMMANDS_H */

// lpr-settings-db: creates, prints, changes, checks, backs up and restores a camera's
// settings database, in the database's own terms (tables and columns) and in the
// HTTP API's (documents and members, with the API's rules).
#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "Database.h"
#include "commands.h"
#include "exit_status.h"
#include "program_version.h"

namespace {

using cli::Args;

const char kUsage[] =
    "Usage: lpr-settings-db [--force] COMMAND DATABASE [ARG...]\n"
    "\n"
    "Commands:\n"
    "  create DATABASE            make a new settings database holding the defaults\n"
    "  export DATABASE [DOCUMENT] print both settings documents (or one: advanced,\n"
    "                             vehicle_count) exactly as the web server's read actions\n"
    "                             answer them; each can be POSTed back as it is\n"
    "  import DATABASE FILE       check the documents in FILE (as export prints them; - for\n"
    "                             standard input) as the web server checks a write, and\n"
    "                             store them; all or nothing\n"
    "  diff DATABASE              list the members that differ from the defaults\n"
    "  get DATABASE KEY...        print the value of each key, one a line\n"
    "  set DATABASE KEY=VALUE...  change values; all changes are stored together or none\n"
    "  show DATABASE              print both settings records as stored (columns)\n"
    "  check DATABASE             check integrity; prints \"ok\" or the findings\n"
    "  keys                       list every key with what it takes\n"
    "\n"
    "Keys: API names, DOCUMENT.MEMBER as the HTTP API names them (advanced.osdFontSize,\n"
    "vehicle_count.resetHour, vehicle_count.httpList[1].url), checked by the API's rules;\n"
    "or storage names, TABLE.COLUMN (lpr_advanced.osd_font_size,\n"
    "vehicle_post_http[1].url), checked by the column's type and, for what they change\n"
    "in the documents, by the API's rules.\n"
    "\n"
    "Options:\n"
    "  --force      write a database that a running lpr-settingsd holds (the web server\n"
    "               neither sees nor keeps such a change: change a live camera through\n"
    "               its API)\n"
    "  -h, --help   this text\n"
    "  --version    program version\n"
    "\n"
    "Exit status: 0 done; 1 the database or a file could not be read or written;\n"
    "2 wrong command line; 3 a value or document broke the settings' rules (nothing\n"
    "stored); 4 a running lpr-settingsd holds the database (nothing stored).\n";

/* A command, the number of arguments it takes, and how they are written. */
const struct Command {
    const char* name;
    size_t minArgs;
    size_t maxArgs;
    const char* synopsis;
    int (*run)(const Args&, const cli::Options&);
} kCommands[] = {
    {"create", 1, 1, "create DATABASE", cli::cmd_create},
    {"export", 1, 2, "export DATABASE [DOCUMENT]", cli::cmd_export},
    {"import", 2, 2, "import DATABASE FILE", cli::cmd_import},
    {"diff", 1, 1, "diff DATABASE", cli::cmd_diff},
    {"get", 2, SIZE_MAX, "get DATABASE KEY...", cli::cmd_get},
    {"set", 2, SIZE_MAX, "set DATABASE KEY=VALUE...", cli::cmd_set},
    {"show", 1, 1, "show DATABASE", cli::cmd_show},
    {"check", 1, 1, "check DATABASE", cli::cmd_check},
    {"keys", 0, 0, "keys", cli::cmd_keys},
};

int usage_error(const std::string& message) {
    return cli::fail(cli::kExitUsage, message + "; try lpr-settings-db --help");
}

int run(int argc, char** argv) {
    enum { kForce = 256, kVersion };
    const option longOptions[] = {{"force", no_argument, nullptr, kForce},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, kVersion},
                                  {nullptr, 0, nullptr, 0}};
    cli::Options options;
    int id;
    while ((id = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        switch (id) {
            case kForce:
                options.force = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return cli::kExitOk;
            case kVersion:
                std::puts("lpr-settings-db " LPR_PROGRAM_VERSION);
                return cli::kExitOk;
            default:  // getopt_long has said what is wrong
                std::fputs("Try lpr-settings-db --help\n", stderr);
                return cli::kExitUsage;
        }
    }
    if (optind == argc) {
        std::fputs(kUsage, stderr);
        return cli::kExitUsage;
    }
    const std::string name = argv[optind];
    const Args args(argv + optind + 1, argv + argc);
    for (const Command& command : kCommands) {
        if (name == command.name) {
            if (args.size() < command.minArgs || args.size() > command.maxArgs) {
                return usage_error(std::string("usage: lpr-settings-db ") + command.synopsis);
            }
            return command.run(args, options);
        }
    }
    return usage_error("unknown command \"" + name + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    const Database::User db;
    if (!db.ok()) {
        return cli::fail(cli::kExitDatabase, Database::last_error());
    }
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return cli::fail(cli::kExitDatabase,
                         std::string("out of memory or internal error: ") + e.what());
    }
}

#include "records.h"

#include "database_lock.h"
#include "exit_status.h"

namespace cli {
namespace {

int database_failed() {
    return fail(kExitDatabase, Database::last_error());
}

bool read_both(sqlite3* conn, Records* records) {
    Database& db = Database::get_instance();
    return db.get_lpr_advanced(&records->adv, conn) == 0 &&
           db.get_lpr_vehicle_count(&records->vcs, conn) == 0;
}

/* Why a live database is not written here: the web server reads the database only when
 * it starts and stores its own copy of a record with every write. */
int refuse_live(const std::string& path, const std::string& holder) {
    return fail(kExitLive, holder +
                               ": the web server works on its own copy of the settings; it "
                               "would neither show this change nor keep it (its next write "
                               "stores its copy). Change a live camera through its API "
                               "instead, for example\n"
                               "  curl --digest -u USER:PASSWORD -d '{\"resetHour\":3}' "
                               "http://CAMERA/api/v1/set_vehicle_count\n"
                               "or stop lpr-webd and lpr-settingsd first. Nothing was stored; "
                               "--force writes " +
                               path + " anyway.");
}

}  // namespace

Records Records::defaults() {
    Records records;
    Database::default_lpr_advanced(&records.adv);
    Database::default_vehicle_count(&records.vcs);
    return records;
}

int read_records(const std::string& path, Records* records) {
    Database::Connection conn;
    if (conn.open(path.c_str(), "settings") != 0 || !read_both(conn.get(), records)) {
        return database_failed();
    }
    return kExitOk;
}

int WriteSession::begin(const std::string& path, bool force) {
    std::string error;
    switch (force ? settings::Holder::kNone : settings::database_holder(path, &error)) {
        case settings::Holder::kNone:
            break;
        case settings::Holder::kDaemon:
            return refuse_live(path, "a running lpr-settingsd holds " + path + " (it locks " +
                                         settings::database_lock_path(path) + ")");
        case settings::Holder::kUnknown:
            return refuse_live(path, "cannot tell whether a running lpr-settingsd holds " + path +
                                         " (" + error + ")");
    }
    if (m_conn.open_rw(path.c_str()) != 0) {
        return database_failed();
    }
    // One transaction around the read and the stores: the values read are the values
    // changed, and the records change together. The stores become savepoints of it.
    m_txn = std::make_unique<Database::Transaction>(m_conn.get(), Database::Transaction::WRITE);
    if (!m_txn->begun() || !read_both(m_conn.get(), &records)) {
        return database_failed();
    }
    return kExitOk;
}

int WriteSession::commit(bool advanced, bool count) {
    Database& db = Database::get_instance();
    if ((advanced && db.set_lpr_advanced(&records.adv, m_conn.get()) != 0) ||
        (count && db.set_lpr_vehicle_count(&records.vcs, m_conn.get()) != 0) ||
        m_txn->commit() != 0) {
        return database_failed();
    }
    return kExitOk;
}

}  // namespace cli

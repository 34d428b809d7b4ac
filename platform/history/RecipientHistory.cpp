#include "platform/history/RecipientHistory.h"

#include <algorithm>
#include <set>

#include "platform/registry/RegistryDatabase.h"
#include "platform/registry/SqliteConnection.h"
#include "util/AddressForm.h"
#include "util/LookAlike.h"

namespace postwarden {

namespace {

// As long as the registry waits: a send that records its recipients while
// another one does waits for it rather than losing the record.
constexpr int kBusyTimeoutMs = 5000;

constexpr DatabaseFormat kHistoryFormat = {
    // "PWHI": this program's recipient history.
    0x50574849,
    1,
    R"sql(
CREATE TABLE recipients(
  address TEXT PRIMARY KEY,  -- HistoryAddress
  domain TEXT NOT NULL,      -- ComparedDomain
  first_use INTEGER NOT NULL,
  last_use INTEGER NOT NULL,  -- seconds since the epoch
  uses INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX recipients_by_domain ON recipients(domain);
CREATE TABLE domains(
  domain TEXT PRIMARY KEY,
  sends INTEGER NOT NULL) WITHOUT ROWID;
-- The familiar domains under each of their LookAlikeKeys.
CREATE TABLE look_alike_keys(
  key TEXT NOT NULL,
  domain TEXT NOT NULL,
  PRIMARY KEY(key, domain)) WITHOUT ROWID;
-- The Message-IDs of the sends recorded, so that none is counted twice.
CREATE TABLE messages(message_id TEXT PRIMARY KEY) WITHOUT ROWID;
CREATE TABLE totals(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO totals VALUES('sends', 0);
)sql",
    "recipient history",
    // A send waits for no sync: a record lost to a power cut only makes an
    // address new once more.
    false,
};

}  // namespace

RecipientHistory::RecipientHistory(std::string path) : path_(std::move(path)) {}

RecipientHistory::~RecipientHistory() = default;

SqliteConnection& RecipientHistory::Connection() {
    if (!connection_) connection_ = OpenDatabase(path_, kHistoryFormat, kBusyTimeoutMs);
    return *connection_;
}

void RecipientHistory::Close() {
    connection_.reset();
}

void RecipientHistory::File(const std::string& domain, bool familiar) {
    SqliteConnection& db = Connection();
    for (const std::string& key : LookAlikeKeys(domain)) {
        if (familiar) {
            db.Use("INSERT OR IGNORE INTO look_alike_keys VALUES(?, ?)")
                .Bind(1, key)
                .Bind(2, domain)
                .Step();
        } else {
            db.Use("DELETE FROM look_alike_keys WHERE key = ? AND domain = ?")
                .Bind(1, key)
                .Bind(2, domain)
                .Step();
        }
    }
}

RecipientHistory::Counts RecipientHistory::Record(const std::vector<Send>& sends) {
    SqliteConnection& db = Connection();
    SqliteConnection::Transaction transaction(db);
    Counts counts;
    for (const Send& send : sends) {
        std::set<std::string> addresses;
        for (const std::string& written : send.addresses) {
            std::string address = HistoryAddress(written);
            if (!address.empty()) addresses.insert(std::move(address));
        }
        if (addresses.empty()) {
            ++counts.nobody;
            continue;
        }
        if (!send.messageId.empty()) {
            db.Use("INSERT OR IGNORE INTO messages VALUES(?)").Bind(1, send.messageId).Step();
            if (db.Changes() == 0) {
                ++counts.repeated;
                continue;
            }
        }
        std::set<std::string> domains;
        for (const std::string& address : addresses) {
            const std::string domain = DomainOf(address);
            db.Use(
                  "INSERT INTO recipients VALUES(?1, ?2, ?3, ?3, 1) ON CONFLICT(address) DO "
                  "UPDATE SET first_use = min(first_use, ?3), last_use = max(last_use, ?3), "
                  "uses = uses + 1")
                .Bind(1, address)
                .Bind(2, domain)
                .Bind(3, send.when)
                .Step();
            domains.insert(domain);
        }
        for (const std::string& domain : domains) {
            int64_t domainSends = 0;
            {
                Query count = db.Use(
                    "INSERT INTO domains VALUES(?, 1) ON CONFLICT(domain) DO UPDATE SET "
                    "sends = sends + 1 RETURNING sends");
                if (count.Bind(1, domain).Step()) domainSends = count.Integer(0);
            }
            // Filed once, as it becomes familiar.
            if (domainSends == kFamiliarSends) File(domain, true);
        }
        db.Use("UPDATE totals SET value = value + 1 WHERE name = 'sends'").Step();
        ++counts.recorded;
    }
    transaction.Commit();
    return counts;
}

int64_t RecipientHistory::Sends() {
    return Connection().Pragma("SELECT value FROM totals WHERE name = 'sends'");
}

bool RecipientHistory::Knows(std::string_view address) {
    const std::string key = HistoryAddress(address);
    if (key.empty()) return false;
    Query query = Connection().Use("SELECT 1 FROM recipients WHERE address = ?");
    return query.Bind(1, key).Step();
}

bool RecipientHistory::KnowsDomain(std::string_view domain) {
    const std::string key = ComparedDomain(domain);
    if (key.empty()) return false;
    Query query = Connection().Use("SELECT 1 FROM domains WHERE domain = ?");
    return query.Bind(1, key).Step();
}

std::vector<std::string> RecipientHistory::FamiliarDomainsLike(std::string_view domain) {
    const std::string self = ComparedDomain(domain);
    std::set<std::string> found;
    SqliteConnection& db = Connection();
    for (const std::string& key : LookAlikeKeys(domain)) {
        Query query = db.Use("SELECT domain FROM look_alike_keys WHERE key = ?");
        query.Bind(1, key);
        while (query.Step()) {
            std::string other = query.Text(0);
            if (other != self) found.insert(std::move(other));
        }
    }
    return {found.begin(), found.end()};
}

std::vector<RecipientHistory::Entry> RecipientHistory::List() {
    std::vector<Entry> entries;
    Query query = Connection().Use(
        "SELECT address, uses, first_use, last_use FROM recipients ORDER BY domain, address");
    while (query.Step()) {
        entries.push_back({query.Text(0), query.Integer(1), query.Integer(2), query.Integer(3)});
    }
    return entries;
}

bool RecipientHistory::Forget(std::string_view address) {
    const std::string key = HistoryAddress(address);
    if (key.empty()) return false;
    SqliteConnection& db = Connection();
    SqliteConnection::Transaction transaction(db);
    db.Use("DELETE FROM recipients WHERE address = ?").Bind(1, key).Step();
    if (db.Changes() == 0) return false;
    const std::string domain = DomainOf(key);
    int64_t left = 0;
    {
        Query uses = db.Use("SELECT coalesce(sum(uses), 0) FROM recipients WHERE domain = ?");
        if (uses.Bind(1, domain).Step()) left = uses.Integer(0);
    }
    int64_t before = 0;
    {
        Query sends = db.Use("SELECT sends FROM domains WHERE domain = ?");
        if (sends.Bind(1, domain).Step()) before = sends.Integer(0);
    }
    const int64_t after = std::min(before, left);
    if (after == 0) {
        db.Use("DELETE FROM domains WHERE domain = ?").Bind(1, domain).Step();
    } else {
        db.Use("UPDATE domains SET sends = ? WHERE domain = ?")
            .Bind(1, after)
            .Bind(2, domain)
            .Step();
    }
    if (before >= kFamiliarSends && after < kFamiliarSends) File(domain, false);
    transaction.Commit();
    return true;
}

}  // namespace postwarden

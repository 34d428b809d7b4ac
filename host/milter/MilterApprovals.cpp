#include "host/milter/MilterApprovals.h"

#include <dlfcn.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "host/send/ResendApprovals.h"
#include "host/send/SendCheck.h"
#include "platform/registry/Registry.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

class RegistryApprovals final : public MilterApprovals {
  public:
    explicit RegistryApprovals(const std::string& registryPath)
        : registry_(registryPath), approvals_(registry_, kResendWindowSeconds) {}

    bool Take(const std::string& key, const std::vector<std::string>& fired, int64_t now) override {
        if (!approvals_.Take(key, fired, now)) return false;
        approvals_.Offer(Taken(key), {kTakenMark}, now);
        return true;
    }
    void Offer(const std::string& key, const std::vector<std::string>& fired,
               int64_t now) override {
        if (approvals_.Pending(Taken(key), now)) return;
        approvals_.Offer(key, fired, now);
    }

  private:
    // Beside an approval that was taken, for the rest of its window.
    static constexpr const char* kTakenMark = "taken";
    static std::string Taken(const std::string& key) { return key + " " + kTakenMark; }

    Registry registry_;
    ResendApprovals approvals_;
};

// libpq, loaded at the first PostgreSQL connection: it brings OpenSSL,
// Kerberos and LDAP with it, which no other command should map.
struct Libpq {
    decltype(&::PQconnectdb) PQconnectdb;
    decltype(&::PQstatus) PQstatus;
    decltype(&::PQerrorMessage) PQerrorMessage;
    decltype(&::PQfinish) PQfinish;
    decltype(&::PQreset) PQreset;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor;
    decltype(&::PQexec) PQexec;
    decltype(&::PQexecParams) PQexecParams;
    decltype(&::PQresultStatus) PQresultStatus;
    decltype(&::PQntuples) PQntuples;
    decltype(&::PQgetvalue) PQgetvalue;
    decltype(&::PQclear) PQclear;
};

// The library's functions; throws RuntimeError when it cannot be loaded.
const Libpq& LoadLibpq() {
    static Libpq pq{};
    static std::string error;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            error = std::string(
                        "PostgreSQL's client library cannot be loaded (Debian package "
                        "libpq5): ") +
                    ::dlerror();
            return;
        }
        const auto load = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                ::dlsym(library, name));
            if (function == nullptr && error.empty()) error = std::string("libpq lacks ") + name;
        };
        load(pq.PQconnectdb, "PQconnectdb");
        load(pq.PQstatus, "PQstatus");
        load(pq.PQerrorMessage, "PQerrorMessage");
        load(pq.PQfinish, "PQfinish");
        load(pq.PQreset, "PQreset");
        load(pq.PQsetNoticeProcessor, "PQsetNoticeProcessor");
        load(pq.PQexec, "PQexec");
        load(pq.PQexecParams, "PQexecParams");
        load(pq.PQresultStatus, "PQresultStatus");
        load(pq.PQntuples, "PQntuples");
        load(pq.PQgetvalue, "PQgetvalue");
        load(pq.PQclear, "PQclear");
    });
    if (!error.empty()) throw RuntimeError(0, error);
    return pq;
}

struct ConnectionCloser {
    void operator()(PGconn* connection) const { LoadLibpq().PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult* result) const { LoadLibpq().PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// Rules are kept as one text, "RULE;RULE" (rule names hold no ';').
std::string JoinRules(const std::vector<std::string>& rules) {
    std::string text;
    for (const std::string& rule : rules) text += (text.empty() ? "" : ";") + rule;
    return text;
}

std::vector<std::string> SplitRules(const std::string& text) {
    std::vector<std::string> rules;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t end = std::min(text.find(';', start), text.size());
        rules.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return rules;
}

// One connection to the shared database, made at once: throws RuntimeError,
// saying `what` it was for, when it cannot be.
class Database {
  public:
    Database(const std::string& conninfo, const std::string& what)
        : pq_(LoadLibpq()), connection_(pq_.PQconnectdb(conninfo.c_str())) {
        if (!connection_ || pq_.PQstatus(connection_.get()) != CONNECTION_OK) {
            throw RuntimeError(0, "cannot connect to the " + what + " database: " + LastError());
        }
        // "already exists, skipping" and the like are no news to anyone.
        pq_.PQsetNoticeProcessor(
            connection_.get(), [](void*, const char*) {}, nullptr);
    }

    // Makes `table` of `columns` when it is missing. Made by the first server
    // that finds it missing; two at once may both try, and the loser's
    // failure is no failure.
    void MakeTable(const std::string& table, const std::string& columns) {
        Result made(
            pq_.PQexec(connection_.get(),
                       ("CREATE TABLE IF NOT EXISTS " + table + " (" + columns + ")").c_str()));
        if (pq_.PQresultStatus(made.get()) == PGRES_COMMAND_OK) return;
        Result again(
            pq_.PQexec(connection_.get(), ("SELECT 1 FROM " + table + " LIMIT 0").c_str()));
        if (pq_.PQresultStatus(again.get()) != PGRES_TUPLES_OK) {
            throw RuntimeError(0, "cannot make the table " + table + ": " + LastError());
        }
    }

    // Runs `sql` with `values` for $1, $2...; throws RuntimeError, saying
    // what `failed`, unless the result is `expected`.
    Result Run(const std::string& sql, const std::vector<std::string>& values,
               ExecStatusType expected, const std::string& failed) {
        // A connection the database dropped is made again once.
        if (pq_.PQstatus(connection_.get()) != CONNECTION_OK) pq_.PQreset(connection_.get());
        std::vector<const char*> params;
        for (const std::string& value : values) params.push_back(value.c_str());
        Result result(pq_.PQexecParams(connection_.get(), sql.c_str(),
                                       static_cast<int>(params.size()), nullptr, params.data(),
                                       nullptr, nullptr, 0));
        if (pq_.PQresultStatus(result.get()) != expected) {
            throw RuntimeError(0, failed + ": " + LastError());
        }
        return result;
    }

    const Libpq& pq() const { return pq_; }

  private:
    std::string LastError() const {
        std::string text = connection_ ? pq_.PQerrorMessage(connection_.get()) : "out of memory";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }

    const Libpq& pq_;
    std::unique_ptr<PGconn, ConnectionCloser> connection_;
};

class DatabaseApprovals final : public MilterApprovals {
  public:
    explicit DatabaseApprovals(const std::string& conninfo) : db_(conninfo, "approvals'") {
        db_.MakeTable(kApprovalsTable,
                      "key text PRIMARY KEY, held_at bigint NOT NULL, expires_at bigint NOT "
                      "NULL, rules text NOT NULL, taken boolean NOT NULL DEFAULT false");
    }

    bool Take(const std::string& key, const std::vector<std::string>& fired, int64_t now) override {
        // Whoever marks the row taken has the approval: one statement, so that
        // two servers taking it at once cannot both have it.
        const std::string sql = std::string("UPDATE ") + kApprovalsTable +
                                " SET taken = true WHERE key = $1 AND NOT taken AND held_at <= $2 "
                                "AND expires_at >= $2 RETURNING rules";
        Result result = db_.Run(sql, {key, std::to_string(now)}, PGRES_TUPLES_OK,
                                "cannot take a resend approval");
        if (db_.pq().PQntuples(result.get()) != 1) return false;
        const std::vector<std::string> rules = SplitRules(db_.pq().PQgetvalue(result.get(), 0, 0));
        return std::all_of(fired.begin(), fired.end(), [&](const std::string& rule) {
            return std::find(rules.begin(), rules.end(), rule) != rules.end();
        });
    }

    void Offer(const std::string& key, const std::vector<std::string>& fired,
               int64_t now) override {
        const std::string expired = std::to_string(now);
        db_.Run(std::string("DELETE FROM ") + kApprovalsTable + " WHERE expires_at < $1", {expired},
                PGRES_COMMAND_OK, "cannot drop the expired resend approvals");
        const std::string sql = std::string("INSERT INTO ") + kApprovalsTable +
                                " (key, held_at, expires_at, rules) VALUES ($1, $2, $3, $4) "
                                "ON CONFLICT (key) DO UPDATE SET held_at = EXCLUDED.held_at, "
                                "expires_at = EXCLUDED.expires_at, rules = EXCLUDED.rules, "
                                "taken = false WHERE NOT " +
                                kApprovalsTable + ".taken OR " + kApprovalsTable +
                                ".expires_at < EXCLUDED.held_at";
        db_.Run(sql,
                {key, std::to_string(now), std::to_string(now + kResendWindowSeconds),
                 JoinRules(fired)},
                PGRES_COMMAND_OK, "cannot keep a resend approval");
    }

  private:
    Database db_;
};

class DatabaseRefreshState final : public SharedRefreshState {
  public:
    explicit DatabaseRefreshState(const std::string& conninfo) : db_(conninfo, "refresh state's") {
        db_.MakeTable(kRefreshStateTable,
                      "name text PRIMARY KEY, asked bigint NOT NULL, asked_at bigint NOT NULL, "
                      "asked_by text NOT NULL");
    }

    int64_t Asked() override {
        Result result = db_.Run(
            std::string("SELECT asked FROM ") + kRefreshStateTable + " WHERE name = 'settings'", {},
            PGRES_TUPLES_OK, "cannot read the shared refresh state");
        return db_.pq().PQntuples(result.get()) == 1 ? Count(result) : 0;
    }

    int64_t Ask(const std::string& server, int64_t now) override {
        Result result =
            db_.Run(std::string("INSERT INTO ") + kRefreshStateTable +
                        " (name, asked, asked_at, asked_by) VALUES ('settings', 1, $1, $2) "
                        "ON CONFLICT (name) DO UPDATE SET asked = " +
                        kRefreshStateTable +
                        ".asked + 1, asked_at = EXCLUDED.asked_at, asked_by = EXCLUDED.asked_by "
                        "RETURNING asked",
                    {std::to_string(now), server}, PGRES_TUPLES_OK, "cannot ask the other servers");
        return Count(result);
    }

  private:
    int64_t Count(const Result& result) const {
        return std::strtoll(db_.pq().PQgetvalue(result.get(), 0, 0), nullptr, 10);
    }

    Database db_;
};

}  // namespace

std::unique_ptr<MilterApprovals> LocalApprovals(const std::string& registryPath) {
    return std::make_unique<RegistryApprovals>(registryPath);
}

std::unique_ptr<MilterApprovals> PostgresApprovals(const std::string& conninfo) {
    return std::make_unique<DatabaseApprovals>(conninfo);
}

bool FollowsAskedRefresh(int64_t followed, int64_t asked) {
    return asked != followed && (followed >= 0 || asked > 0);
}

std::unique_ptr<SharedRefreshState> PostgresRefreshState(const std::string& conninfo) {
    return std::make_unique<DatabaseRefreshState>(conninfo);
}

}  // namespace postwarden::host

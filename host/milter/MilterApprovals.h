#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace postwarden::host {

// The resend approvals of the milter: a message refused because a rule flagged
// it is remembered under its key (the message's fingerprint and its sender),
// so that the same message sent again within the window goes through once.
// Every call may throw RuntimeError; one object is used by one thread at a time.
class MilterApprovals {
  public:
    virtual ~MilterApprovals() = default;
    // Whether `key` was refused within the window before `now` for at least the
    // rules in `fired`. The approval is used up whatever the answer, by one
    // atomic step: of two takers at once, one at most gets it.
    virtual bool Take(const std::string& key, const std::vector<std::string>& fired,
                      int64_t now) = 0;
    // Remembers that `key` was refused at `now` for the rules in `fired`,
    // unless its approval was taken within the window: a message goes once a
    // window, however many copies of it are sent at once.
    virtual void Offer(const std::string& key, const std::vector<std::string>& fired,
                       int64_t now) = 0;
};

// The approvals in the home's registry (ResendApprovals), for one mail server.
std::unique_ptr<MilterApprovals> LocalApprovals(const std::string& registryPath);

// The approvals in the PostgreSQL database `conninfo` names ("postgresql://..."),
// shared by several mail servers: one table, made when missing, whose rows
// expire. Connects at once; throws RuntimeError when it cannot.
std::unique_ptr<MilterApprovals> PostgresApprovals(const std::string& conninfo);

// The table PostgresApprovals keeps its rows in.
inline constexpr const char* kApprovalsTable = "postwarden_resend_approvals";

// The refresh state several mail servers share: how many times one of them
// was told to refresh its settings at once (SIGHUP). Each server refreshes
// when the count moves, so a change published and made known at one server
// is in force at all of them, and a message resent through any of them meets
// the same rules. Every call may throw RuntimeError; one thread uses it.
class SharedRefreshState {
  public:
    virtual ~SharedRefreshState() = default;
    // How many refreshes were asked for so far (0 before the first).
    virtual int64_t Asked() = 0;
    // Asks for one more, by `server` at `now`; returns the new count.
    virtual int64_t Ask(const std::string& server, int64_t now) = 0;
};

// Whether a server that has followed `followed` asked refreshes (-1: not
// known yet, the database not read since the start) should refresh now that
// the database says `asked`: when the count moved since it was last read, or,
// read for the first time only after the start, when any refresh was asked at
// all, since one may have been asked while the database could not be read.
bool FollowsAskedRefresh(int64_t followed, int64_t asked);

// The refresh state in the PostgreSQL database `conninfo` names, one row of
// its own table, made when missing. Connects at once; throws RuntimeError
// when it cannot.
std::unique_ptr<SharedRefreshState> PostgresRefreshState(const std::string& conninfo);

// The table PostgresRefreshState keeps its row in.
inline constexpr const char* kRefreshStateTable = "postwarden_refresh_state";

}  // namespace postwarden::host

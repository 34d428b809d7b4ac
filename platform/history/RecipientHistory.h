#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

class SqliteConnection;

// Whom the person has sent mail to: one SQLite file (history.db in the home)
// holding each recipient address with its first and last use and how many
// sends went to it, each domain with how many sends went to it, and how many
// sends were recorded in all. Addresses are kept as HistoryAddress gives them
// (util/AddressForm.h), domains as ComparedDomain does (util/LookAlike.h), and
// every call takes them as written. A domain written to in at least
// kFamiliarSends sends is familiar: it is filed under its LookAlikeKeys so
// that the look-alikes of a domain are found without reading every domain.
//
// The file is opened, and made when missing, at the first call. Every call
// throws RuntimeError when the file cannot be opened, read or written; a
// failed write changes nothing. Safe against other processes using the same
// file; not for two threads at once.
class RecipientHistory {
  public:
    explicit RecipientHistory(std::string path);
    ~RecipientHistory();
    RecipientHistory(const RecipientHistory&) = delete;
    RecipientHistory& operator=(const RecipientHistory&) = delete;

    // How many sends make a domain familiar.
    static constexpr int64_t kFamiliarSends = 2;

    // One send that left.
    struct Send {
        std::vector<std::string> addresses;  // as written
        int64_t when = 0;                    // seconds since the epoch
        std::string messageId;               // empty when unknown
    };
    struct Counts {
        size_t recorded = 0;
        size_t repeated = 0;  // left out: the Message-ID was recorded before
        size_t nobody = 0;    // left out: no address names a mailbox
    };
    // Records `sends` in one transaction: each address's uses, first and last
    // use, each domain once per send, and the count of sends. A send whose
    // Message-ID was recorded before (the same message sent again, or
    // imported after it was sent) and one that names no mailbox are left out.
    Counts Record(const std::vector<Send>& sends);

    // How many sends are recorded.
    int64_t Sends();
    // Whether mail was sent to `address` / to any address of `domain`.
    bool Knows(std::string_view address);
    bool KnowsDomain(std::string_view domain);
    // The familiar domains that `domain` may look like: every one filed under
    // one of its keys, a superset of those LooksLike holds for, sorted; never
    // `domain` itself.
    std::vector<std::string> FamiliarDomainsLike(std::string_view domain);

    struct Entry {
        std::string address;
        int64_t uses = 0;
        int64_t firstUse = 0;
        int64_t lastUse = 0;
    };
    // Every address, by domain and then address.
    std::vector<Entry> List();

    // Removes `address`. Its domain then counts no more sends than the
    // addresses left in it have uses (the sends it counted cannot be told
    // apart), and is dropped with its last address. False when the history
    // does not hold the address.
    bool Forget(std::string_view address);

    // Closes the file; the next call opens it again.
    void Close();

  private:
    SqliteConnection& Connection();
    void File(const std::string& domain, bool familiar);

    std::string path_;
    std::unique_ptr<SqliteConnection> connection_;
};

}  // namespace postwarden

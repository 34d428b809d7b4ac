#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::host {

// A file mapped into memory read-only, unmapped when the last holder lets go.
class MappedFile {
  public:
    // The file at `path`; null with `error` set when it cannot be opened or
    // mapped, or is no regular file.
    static std::shared_ptr<const MappedFile> Open(const std::string& path, std::string& error);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view Bytes() const { return {static_cast<const char*>(data_), size_}; }

  private:
    MappedFile(void* data, size_t size) : data_(data), size_(size) {}
    void* data_;
    size_t size_;
};

// One message to audit: a file of its own, or a stretch of an mbox file.
struct AuditMessage {
    std::string name;  // the file's path, or "MBOX#N" for the N-th message of an mbox (from 1)
    std::string path;  // the message's own file; empty for a message of an mbox
    std::shared_ptr<const MappedFile> mbox;  // keeps `quoted` readable
    std::string_view quoted;                 // the mbox message after its From_ line, as stored

    // The message's bytes: the file's content, or the mbox stretch with its
    // ">From " lines unquoted. Throws RuntimeError when the file cannot be read
    // or is larger than a message may be.
    std::string Bytes() const;
};

// A source that gave no message at all, and why.
struct SourceProblem {
    std::string source;
    std::string reason;
};

struct AuditSources {
    std::vector<AuditMessage> messages;  // in the order of the sources, each in its own order
    std::vector<SourceProblem> unreadable;
    // Entries of a Maildir's cur/ and new/ that are no message files, each by
    // its path: a named pipe, a device, a folder, a link that leads to none.
    std::vector<SourceProblem> notRead;
};

// The messages of each source, in turn: a Maildir folder (one with cur/ or new/:
// their regular files in delivery order, hidden files left out; sub-folders are
// not entered), an mbox file (one whose first line is a From_ line), or else a
// file holding one message. A source that cannot be read, is no regular file
// (nothing is opened that could wait or never end), or a folder that is no
// Maildir, goes to `unreadable`. Never throws.
AuditSources ListSources(const std::vector<std::string>& sources);

// The messages of an mbox file, each without its From_ line and without the
// blank line that ends it, still quoted. Every line that begins with "From " is
// a From_ line (lines of the messages that did are stored as ">From ").
std::vector<std::string_view> SplitMbox(std::string_view bytes);

// `message` with one ">" taken from every line that starts with ">From ",
// ">>From " and so on (mboxrd).
std::string UnquoteMbox(std::string_view message);

}  // namespace postwarden::host

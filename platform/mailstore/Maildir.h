#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace postwarden::mailstore {

// Plain Maildir operations. A folder is a Maildir when it has cur/, new/ and
// tmp/; a message's unique name is its file name up to the info part (":2,...").
// Failures throw RuntimeError.

bool IsMaildir(const std::string& folder);

// Whether `path` is a folder (or a link to one).
bool IsFolder(const std::string& path);

// `fileName` without its info part.
std::string_view UniqueNameOf(std::string_view fileName);

// Whether `text` can name a message: not empty, no "/", not hidden, no ":".
bool IsUniqueName(std::string_view text);

// Delivery order: every unique name starts with its delivery time in seconds,
// so names are compared with their digit runs taken as numbers (the time stamp
// first, then e.g. "M9" before "M10"), and byte by byte where that ties.
bool DeliveredBefore(std::string_view a, std::string_view b);

struct MessageFile {
    std::string uniqueName;
    std::string path;
};

// The messages in new/ and cur/ of `folder`, in delivery order; hidden files and
// anything but regular files are left out. Throws when the folder is no Maildir
// or cannot be read.
std::vector<MessageFile> ListMessages(const std::string& folder);

// The file of the message `uniqueName` in new/ or cur/ of `folder`; empty when
// there is none.
std::string FindMessage(const std::string& folder, std::string_view uniqueName);

// Stores `bytes` as a new message of `folder` (made a Maildir first when it is
// missing): written and synced under tmp/, then renamed into cur/ with the info
// ":2,<flags>", readable and writable by its owner only. Returns the unique name.
std::string DeliverMessage(const std::string& folder, std::string_view bytes,
                           std::string_view flags);

// Replaces the content of the message `uniqueName` in one step (a new file under
// tmp/ renamed over it), keeping its name. Throws when the message is not there.
void ReplaceMessage(const std::string& folder, std::string_view uniqueName, std::string_view bytes);

// Deletes the message `uniqueName`; false when it was not there.
bool RemoveMessage(const std::string& folder, std::string_view uniqueName);

// Working copies: messages a process keeps in a folder only while it runs, such
// as the host's draft of the message being sent. Their unique names say so and
// name the process that owns them (its id and start time, and the machine), e.g.
// "1765000000.M123456P4242Q1_postwarden_S98765.host", so that the copies of a
// process killed before it could remove them can be found and removed later.

// DeliverMessage for a working copy of this process; it is not synced to the
// disk (nor is a ReplaceMessage of one), as nothing reads it after a crash.
std::string DeliverWorkingCopy(const std::string& folder, std::string_view bytes,
                               std::string_view flags);

// Whether `uniqueName` is the name of a working copy.
bool IsWorkingCopy(std::string_view uniqueName);

// Deletes the working copies in new/, cur/ and tmp/ of `folder` whose process,
// on this machine, has ended. The copies of running processes (a send going on
// at the same time), of other machines, and every other message are left alone.
// Returns how many files were removed. Never throws: a missing folder has none,
// and a file that cannot be removed is left for a later run.
size_t RemoveAbandonedWorkingCopies(const std::string& folder);

}  // namespace postwarden::mailstore

#pragma once

// The mail store the session objects of a FakePlatform work on: messages as
// plain data, found by entry identifier, in the drafts folder or by folder path.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "module/MapiSession.h"

namespace postwarden::fakes {

class FakePlatform;

// A recipient of a fake message.
struct FakeRecipientData {
    std::string name;
    std::string address;  // the recipient's own address
    bool hasAddressEntry = true;
    std::string entryAddress;            // the address entry's; empty means `address`
    std::optional<int32_t> memberCount;  // set for a distribution list
    int32_t type = kRecipientTo;
};

// A message of the fake store.
struct FakeMessageData {
    std::string subject;
    int32_t bodyFormat = kFormatPlain;
    std::string body, htmlBody, rtfBody;
    std::vector<FakeRecipientData> recipients;
    bool recipientsTruncated = false;  // the message has more than `recipients`
    std::string unreadParts;           // why part of it was not read
    int32_t attachmentCount = 0;
    std::map<std::string, std::string> properties;  // read by name ("Body", "BodyFormat")
};

// The fake mail store every session object of a FakePlatform works on.
struct FakeStore {
    std::map<std::string, std::shared_ptr<FakeMessageData>> byEntryId;
    std::vector<std::shared_ptr<FakeMessageData>> drafts;
    std::map<std::string, std::vector<std::shared_ptr<FakeMessageData>>> folders;  // by path
    bool loggedOnAfterLogon = true;
    int logons = 0;
    int attaches = 0;
};

// A new session object over `platform`'s store.
std::shared_ptr<MapiSession> NewFakeSession(FakePlatform& platform);

}  // namespace postwarden::fakes

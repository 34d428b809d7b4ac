#pragma once

#include <memory>
#include <optional>
#include <string>

#include "module/MapiSession.h"
#include "platform/mailstore/DistributionLists.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "util/RuntimeError.h"

namespace postwarden::mailstore {

// What the objects of one logged-on session share: the open store and, once
// asked for, its distribution lists.
class MaildirStore {
  public:
    // `client`: the mail client's handle this store was opened through, whose
    // lent messages are read from memory; null for a store logged on to.
    explicit MaildirStore(std::string root,
                          std::shared_ptr<const MaildirStoreObject> client = nullptr)
        : root_(std::move(root)), client_(std::move(client)) {}
    const std::string& Root() const { return root_; }
    // The bytes the client lent as `uniqueName`, if any.
    std::optional<std::string_view> Lent(std::string_view uniqueName) const {
        return client_ ? client_->Lent(uniqueName) : std::nullopt;
    }
    // Lets the client give the pages of those bytes back (MaildirStoreObject).
    void ReleaseLent(std::string_view uniqueName) const {
        if (client_) client_->ReleaseLent(uniqueName);
    }

    // Loaded on first use; a store without the file has no lists. Throws when
    // the file is there but cannot be read.
    const DistributionLists& Lists();

  private:
    std::string root_;
    std::shared_ptr<const MaildirStoreObject> client_;
    std::optional<DistributionLists> lists_;
};

// A message file of the folder `folder`, read and parsed on first use and never
// again: a failure is kept and given to every later call too. A file that a
// mail client moved from new/ to cur/, or re-flagged, since the folder was
// listed is looked for again by its unique name.
class MaildirMessage final : public MapiMessage {
  public:
    MaildirMessage(std::shared_ptr<MaildirStore> store, std::string folder, MessageFile file)
        : store_(std::move(store)), folder_(std::move(folder)), file_(std::move(file)) {}
    // A message read and parsed already (one that has no file of its own, such
    // as a message of an mbox file): nothing is read again. `content` must be
    // non-null.
    MaildirMessage(std::shared_ptr<MaildirStore> store,
                   std::shared_ptr<const MessageContent> content)
        : store_(std::move(store)), content_(std::move(content)) {}

    std::string Subject() override { return Content().subject; }
    int32_t BodyFormat() override { return Content().bodyFormat; }
    std::string_view Body() override { return Content().Body(); }
    std::string_view HTMLBody() override { return Content().HtmlBody(); }
    std::string_view RTFBody() override { return Content().RtfBody(); }
    std::shared_ptr<MapiRecipients> Recipients() override;
    std::vector<std::string> AttachmentNames() override { return Content().attachmentNames; }
    int32_t AttachmentCount() override { return Content().attachmentCount; }
    std::string UnreadParts() override { return Content().unreadParts; }
    // "Body" (the message's text, as a settings item is read) and "BodyFormat"
    // (as text), named without regard to case.
    std::string Property(std::string_view name) override;

  private:
    const MessageContent& Content();
    std::string ReadFile();

    std::shared_ptr<MaildirStore> store_;
    std::string folder_;
    MessageFile file_;
    std::shared_ptr<const MessageContent> content_;
    std::optional<RuntimeError> failure_;
};

}  // namespace postwarden::mailstore

#include "host/ClientObjects.h"

#include "module/RuntimeError.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"

namespace postwarden::host {

namespace {
// A draft the mail client has saved is marked as such and as seen.
constexpr const char* kDraftFlags = "DS";
}  // namespace

std::shared_ptr<MapiObject> MailClientSession::MAPIOBJECT() {
    return std::make_shared<MaildirStoreObject>(storeRoot_);
}

MailClientApplication::MailClientApplication(std::string storeRoot)
    : session_(std::make_shared<MailClientSession>(std::move(storeRoot))) {}

OutgoingMailItem::OutgoingMailItem(std::string storeRoot, std::string message,
                                   std::vector<std::string> envelopeRecipients)
    : storeRoot_(std::move(storeRoot)),
      message_(std::move(message)),
      envelope_(std::move(envelopeRecipients)) {}

std::string OutgoingMailItem::DraftBytes() const {
    if (envelope_.empty()) return message_;
    const size_t firstLineEnd = message_.find('\n');
    const bool crlf =
        firstLineEnd != std::string::npos && firstLineEnd > 0 && message_[firstLineEnd - 1] == '\r';
    const char* lineEnd = crlf ? "\r\n" : "\n";
    std::string field = "Bcc: ";
    for (size_t i = 0; i < envelope_.size(); ++i) {
        if (i > 0) field += std::string(",") + lineEnd + " ";
        // An argument cannot add a field of its own to the draft.
        for (const char c : envelope_[i]) {
            field += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
        }
    }
    field += lineEnd;
    return field + message_;
}

OutgoingMailItem::~OutgoingMailItem() {
    try {
        RemoveDraft();
    } catch (const RuntimeError&) {
        // Nothing to report to at this point; the host removes drafts itself.
    }
}

void OutgoingMailItem::Save() {
    const std::string drafts = DraftsFolderOf(storeRoot_);
    if (!entryId_.empty() && !mailstore::FindMessage(drafts, entryId_).empty()) {
        mailstore::ReplaceMessage(drafts, entryId_, DraftBytes());
        return;
    }
    // Drafts of runs that were killed before they could remove theirs.
    mailstore::RemoveAbandonedWorkingCopies(drafts);
    entryId_ = mailstore::DeliverWorkingCopy(drafts, DraftBytes(), kDraftFlags);
}

std::string OutgoingMailItem::Subject() {
    if (!subject_) subject_ = mailstore::ParseSubject(message_);
    return *subject_;
}

void OutgoingMailItem::RemoveDraft() {
    if (entryId_.empty()) return;
    mailstore::RemoveMessage(DraftsFolderOf(storeRoot_), entryId_);
    entryId_.clear();
}

std::shared_ptr<OutlookApplication> HostEngine::Application() {
    if (!application_) throw errors::ObjectNotSet();
    return application_;
}

int32_t HostEngine::RegisterModule(IModuleAPI&, int32_t selector, std::string_view,
                                   std::string_view) {
    selectors_.push_back(selector);
    return 0;
}

}  // namespace postwarden::host

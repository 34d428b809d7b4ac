#include "host/send/ClientObjects.h"

#include <functional>
#include <utility>

#include "module/IModuleAPI.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {
// A draft the mail client has saved is marked as such and as seen.
constexpr const char* kDraftFlags = "DS";
}  // namespace

MailClientApplication::MailClientApplication(std::string storeRoot)
    : MailClientApplication(std::make_shared<MaildirStoreObject>(std::move(storeRoot))) {}

MailClientApplication::MailClientApplication(std::shared_ptr<MaildirStoreObject> store)
    : session_(std::make_shared<MailClientSession>(std::move(store))) {}

namespace {

// The Bcc field naming `envelope`, with the message's own line ends.
std::string BccField(const std::vector<std::string>& envelope, bool crlf) {
    const char* lineEnd = crlf ? "\r\n" : "\n";
    std::string field = "Bcc: ";
    for (size_t i = 0; i < envelope.size(); ++i) {
        if (i > 0) field += std::string(",") + lineEnd + " ";
        // An argument cannot add a field of its own to the draft.
        for (const char c : envelope[i]) {
            field += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
        }
    }
    field += lineEnd;
    return field;
}

}  // namespace

size_t OutgoingMailItem::FieldRoom(const std::vector<std::string>& envelopeRecipients) {
    return envelopeRecipients.empty() ? 0 : BccField(envelopeRecipients, true).size();
}

OutgoingMailItem::OutgoingMailItem(std::string storeRoot, std::string& message,
                                   std::vector<std::string> envelopeRecipients)
    : OutgoingMailItem(std::make_shared<MaildirStoreObject>(std::move(storeRoot)), message,
                       std::move(envelopeRecipients)) {}

OutgoingMailItem::OutgoingMailItem(std::shared_ptr<MaildirStoreObject> store, std::string& message,
                                   std::vector<std::string> envelopeRecipients)
    : store_(std::move(store)), message_(&message) {
    if (envelopeRecipients.empty()) return;
    const size_t firstLineEnd = message.find('\n');
    const bool crlf =
        firstLineEnd != std::string::npos && firstLineEnd > 0 && message[firstLineEnd - 1] == '\r';
    const std::string field = BccField(envelopeRecipients, crlf);
    message.insert(0, field);
    fieldLength_ = field.size();
}

OutgoingMailItem::~OutgoingMailItem() {
    try {
        RemoveDraft();
    } catch (const RuntimeError&) {
        // Nothing to report to at this point; the host removes drafts itself.
    }
    store_->Withdraw(entryId_);
    if (disk_) {
        std::string error;
        GiveBack(error);
    } else {
        message_->erase(0, fieldLength_);
    }
}

bool OutgoingMailItem::KeepOnDisk(const std::string& folder, std::string& error) {
    if (disk_) return true;
    const std::string_view pieces[] = {DraftBytes()};
    disk_ = DiskCopy::Make(folder, pieces, error);
    if (!disk_) return false;
    std::string().swap(*message_);
    return true;
}

std::unique_ptr<DiskCopy> OutgoingMailItem::TakeDiskCopy(size_t& from) {
    if (!disk_) return nullptr;
    if (!entryId_.empty()) store_->Withdraw(entryId_);
    from = std::exchange(fieldLength_, 0);
    return std::move(disk_);
}

bool OutgoingMailItem::GiveBack(std::string& error) {
    if (!disk_) return true;
    if (!entryId_.empty()) store_->Withdraw(entryId_);
    const bool whole = disk_->CopyOut(fieldLength_, *message_, error);
    disk_.reset();
    // The field went with the copy; the caller's string is the message alone.
    fieldLength_ = 0;
    return whole;
}

void OutgoingMailItem::Save() {
    const std::string drafts = DraftsFolderOf(store_->Root());
    if (!entryId_.empty() && !mailstore::FindMessage(drafts, entryId_).empty()) {
        mailstore::ReplaceMessage(drafts, entryId_, DraftBytes());
        return;
    }
    // Drafts of runs that were killed before they could remove theirs.
    mailstore::RemoveAbandonedWorkingCopies(drafts);
    entryId_ = mailstore::DeliverWorkingCopy(drafts, DraftBytes(), kDraftFlags);
    std::function<void()> release;
    if (disk_) release = [copy = disk_.get()] { copy->ReleasePages(); };
    store_->Lend(entryId_, DraftBytes(), std::move(release));
}

std::string OutgoingMailItem::Subject() {
    if (!subject_) subject_ = mailstore::ParseSubject(Message());
    return *subject_;
}

void OutgoingMailItem::RemoveDraft() {
    if (entryId_.empty()) return;
    store_->Withdraw(entryId_);
    mailstore::RemoveMessage(DraftsFolderOf(store_->Root()), entryId_);
    entryId_.clear();
}

std::shared_ptr<OutlookApplication> HostEngine::Application() {
    if (!application_) throw errors::ObjectNotSet();
    return application_;
}

int32_t HostEngine::RegisterModule(IModuleAPI&, int32_t, std::string_view, std::string_view) {
    return 0;
}

void StartAsMailClient(IModuleAPI& module, std::shared_ptr<MailClientApplication> application) {
    std::shared_ptr<Engine> engine = std::make_shared<HostEngine>(std::move(application));
    module.YSStartup(engine);
    try {
        module.YSExplorerOpen(nullptr);
    } catch (const std::exception&) {
    }
}

}  // namespace postwarden::host

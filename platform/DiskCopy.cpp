#include "platform/DiskCopy.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/HugePages.h"

namespace postwarden {

namespace {

std::string Failed(const std::string& what, int error) {
    return "cannot keep the message on disk: " + what + ": " + std::strerror(error);
}

bool WriteAll(int fd, std::string_view bytes) {
    for (size_t written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<DiskCopy> DiskCopy::Make(const std::string& folder,
                                         std::span<const std::string_view> pieces,
                                         std::string& error) {
    UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (!fd) {
        error = Failed(folder, errno);
        return nullptr;
    }
    struct statfs where {};
    if (::fstatfs(fd.Get(), &where) != 0) {
        error = Failed(folder, errno);
        return nullptr;
    }
    if (where.f_type == TMPFS_MAGIC || where.f_type == RAMFS_MAGIC) {
        error = "cannot keep the message on disk: " + folder + " is in memory";
        return nullptr;
    }
    size_t size = 0;
    for (const std::string_view piece : pieces) {
        if (!WriteAll(fd.Get(), piece)) {
            error = Failed(folder, errno);
            return nullptr;
        }
        size += piece.size();
    }
    if (size == 0) return std::make_unique<DiskCopy>(Made(), std::move(fd), nullptr, 0);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.Get(), 0);
    if (mapped == MAP_FAILED) {
        error = Failed(folder, errno);
        return nullptr;
    }
    return std::make_unique<DiskCopy>(Made(), std::move(fd), static_cast<const char*>(mapped),
                                      size);
}

DiskCopy::~DiskCopy() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
}

void DiskCopy::ReleasePages() const {
    // The file holds every byte, so dropping the mapping's pages loses nothing.
    if (data_ != nullptr) ::madvise(const_cast<char*>(data_), size_, MADV_DONTNEED);
}

bool DiskCopy::CopyOut(size_t from, std::string& out, std::string& error) const {
    out.clear();
    if (from >= size_) return true;
    // Zeroed before it is read into: in huge pages that is a few faults, not
    // one per 4 KiB.
    out.reserve(size_ - from);
    AdviseHugePages(out.data(), out.capacity());
    out.resize(size_ - from);
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = ::pread(fd_.Get(), out.data() + done, out.size() - done,
                                  static_cast<off_t>(from + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = Failed("reading it back", n < 0 ? errno : EIO);
            std::string().swap(out);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool DiskCopy::SendTo(int out, size_t from, std::string& error) const {
    off_t at = static_cast<off_t>(from);
    while (static_cast<size_t>(at) < size_) {
        const ssize_t n = ::sendfile(out, fd_.Get(), &at, size_ - static_cast<size_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = Failed("copying it", n < 0 ? errno : EIO);
            return false;
        }
    }
    return true;
}

}  // namespace postwarden

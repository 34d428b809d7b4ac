#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

namespace postwarden {

// A private copy of some bytes in a file without a name on a disk, mapped
// read-only, so that a large message need not stay in the process's memory
// while the texts made from it are: its pages can be given back to the page
// cache at any time and are read in again where they are touched.
//
// The file is made with O_TMPFILE | O_EXCL: it never has a name, nobody else
// can open, change, truncate or link it, and it goes with the last
// descriptor. A folder on a memory file system (tmpfs, ramfs) is refused: a
// copy there is memory all the same, only no longer counted as ours.
class DiskCopy {
  public:
    // The bytes of `pieces` one after the other, in a file made in `folder`.
    // Null, with `error` set, when the folder is in memory or the file cannot
    // be made, written or mapped; nothing is left behind then.
    static std::unique_ptr<DiskCopy> Make(const std::string& folder,
                                          std::span<const std::string_view> pieces,
                                          std::string& error);
    ~DiskCopy();
    DiskCopy(const DiskCopy&) = delete;
    DiskCopy& operator=(const DiskCopy&) = delete;

    // The whole copy; valid while this object lives.
    std::string_view Bytes() const { return {data_, size_}; }
    // Gives the pages of the mapping back; reading Bytes() later reads them in
    // again from the file. Advice to the kernel only: it cannot fail.
    void ReleasePages() const;
    // Reads the bytes from `from` on into `out` (replacing what it held) from
    // the file, not the mapping. False, with `error` set, when they cannot all
    // be read; `out` is empty then.
    bool CopyOut(size_t from, std::string& out, std::string& error) const;
    // Writes the bytes from `from` on to the file `out`, at its offset, from
    // file to file inside the kernel. False, with `error` set, when they cannot
    // all be written.
    bool SendTo(int out, size_t from, std::string& error) const;

  private:
    // Lets only Make() construct, through make_unique.
    struct Made {
        explicit Made() = default;
    };

  public:
    DiskCopy(Made, UniqueFd fd, const char* data, size_t size)
        : fd_(std::move(fd)), data_(data), size_(size) {}

  private:
    UniqueFd fd_;
    const char* data_;
    size_t size_;
};

}  // namespace postwarden

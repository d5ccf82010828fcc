#pragma once

// Claims on a share. Internal to support/smb.

#include <memory>
#include <span>
#include <string>

#include "support/fs/FileClaims.h"
#include "support/fs/FileSystem.h"
#include "support/smb/SmbConnection.h"

namespace kavrin::smb {

// The library has no lock another client could test, so a claim on a share is the file alone,
// created exclusively; its content and the caller's rules say whether its holder has ended.
// `files` is the share back end the claims are made on, for what they look at and remove.
class SmbClaims final : public FileClaims {
public:
    SmbClaims(FileSystem& files, SmbConnection& share) : m_files(files), m_share(share) {}

    [[nodiscard]] std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content) override;
    HoldState holdState(const std::string&) override { return HoldState::Unknown; }
    [[nodiscard]] std::unique_ptr<HeldFile> takeOver(
        const std::string& path, std::span<const std::uint8_t> expected,
        std::span<const std::uint8_t> content) override;

private:
    class ShareHeldFile;

    // What one createExclusive has learnt so far, over its attempts.
    struct Creation {
        bool created = false;   // the server said it created the file for this call
        bool adopting = false;  // looking at a file found there after a dropped connection
        bool writing = false;   // the step that failed: writing, not creating
        bool foreign = false;   // another's file is there
        // Whether the file there may be this call's: it created it, or a reply was lost.
        bool replyLost = false;
        bool mayBeOurs() const { return created || replyLost; }
    };

    // Whether the file at `path` is there with exactly `content`.
    bool holds(const std::string& path, std::span<const std::uint8_t> content);
    int createHeld(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
                   Creation& creation);
    int adopt(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
              Creation& creation);
    int fill(SMBCCTX* c, SmbConnection::OpenFile& file, std::span<const std::uint8_t> content);

    FileSystem& m_files;
    SmbConnection& m_share;
};

}  // namespace kavrin::smb

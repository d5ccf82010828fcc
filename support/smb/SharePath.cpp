#include "support/smb/SharePath.h"

#include "support/smb/SmbShareFileSystem.h"

namespace kavrin::smb {

namespace {

void appendEncoded(std::string& url, const std::string& text, bool isServer) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~' || byte == '$' || (isServer && byte == ':');
        if (plain) {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 0x0F];
        }
    }
}

}  // namespace

SharePath parseSharePath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path) {
        if (c == '\\' || c == '/') {
            if (!part.empty()) {
                parts.push_back(std::move(part));
                part.clear();
            }
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(std::move(part));
    }
    SharePath result;
    if (!parts.empty()) {
        result.server = parts[0];
    }
    if (parts.size() > 1) {
        result.share = parts[1];
        result.names.assign(parts.begin() + 2, parts.end());
    }
    return result;
}

std::string urlOf(const SharePath& path, std::size_t levels) {
    std::string url = "smb://";
    appendEncoded(url, path.server, true);
    url += '/';
    appendEncoded(url, path.share, false);
    url += '/';
    for (std::size_t i = 0; i < levels && i < path.names.size(); ++i) {
        if (i > 0) {
            url += '/';
        }
        appendEncoded(url, path.names[i], false);
    }
    return url;
}

std::string urlOf(const SharePath& path) {
    return urlOf(path, path.names.size());
}

}  // namespace kavrin::smb

namespace kavrin {

std::string smbUrl(const std::string& path) {
    return smb::urlOf(smb::parseSharePath(path));
}

}  // namespace kavrin

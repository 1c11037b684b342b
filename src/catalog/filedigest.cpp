// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/filedigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/file.h"

namespace qm {

std::optional<Sha256> sha256OfFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    // Below the allocator's threshold for a mapping of its own: a buffer mapped and unmapped
    // at every call costs more than hashing a picture of 50 KB.
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n));
    }
    Sha256 digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::string toHex(const Sha256& digest) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (std::uint8_t b : digest) {
        out += Hex[b >> 4];
        out += Hex[b & 15];
    }
    return out;
}

}  // namespace qm

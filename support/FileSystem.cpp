#include "support/FileSystem.h"

#include "support/Errors.h"

namespace kavrin {

std::unique_ptr<HeldFile> FileSystem::createExclusive(const std::string& path,
                                                      std::span<const std::uint8_t>) {
    throw KavrinError("Cannot create file \"" + path +
                      "\". This location cannot hold a claim of its own");
}

HoldState FileSystem::holdState(const std::string&) {
    return HoldState::Unknown;
}

std::unique_ptr<HeldFile> FileSystem::takeOver(const std::string& path,
                                               std::span<const std::uint8_t>,
                                               std::span<const std::uint8_t>) {
    throw KavrinError("Cannot open file \"" + path +
                      "\". This location cannot hold a claim of its own");
}

}  // namespace kavrin

#include "support/fs/FileSystem.h"

#include <stdexcept>
#include <vector>

#include "support/fs/CacheHints.h"
#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin {

namespace {

std::uint64_t totalOf(std::span<const std::span<const std::uint8_t>> parts) {
    std::uint64_t total = 0;
    for (const auto& part : parts) {
        total += part.size();
    }
    return total;
}

// Passes each block through the file in the writes it takes, with a report after each.
class BlockSink final : public FileSink {
public:
    BlockSink(FileWriter& file, std::uint64_t size, const FileProgress& progress)
        : m_file(file), m_size(size), m_progress(progress) {}

    void write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const std::size_t put = m_file.writeSome(bytes);
            bytes = bytes.subspan(put);
            written += put;
            if (m_progress && written < m_size) {
                m_progress(written, m_size);
            }
        }
    }

    std::uint64_t written = 0;

private:
    FileWriter& m_file;
    std::uint64_t m_size;
    const FileProgress& m_progress;
};

}  // namespace

CacheHints& FileSystem::cacheHints() {
    static CacheHints none;
    return none;
}

FileBytes FileSystem::readFileReporting(const std::string& path, const FileProgress& progress) {
    FileBytes bytes = readWholeFile(path);
    if (progress) {
        progress(bytes.size, bytes.size);
    }
    return bytes;
}

void FileSystem::readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) {
    const FileBytes bytes = readFile(path);
    consume(std::span<const std::uint8_t>(bytes.data.get(), bytes.size));
}

std::unique_ptr<FileWriter> FileSystem::createFile(const std::string&, bool) {
    return nullptr;
}

void FileSystem::writeWholeFile(const std::string&, std::span<const std::span<const std::uint8_t>>,
                                bool) {
    // Reached only by a back end that gives neither way of writing: a fault of the program.
    throw std::logic_error("a file system writes through createFile or writeWholeFile");
}

void FileSystem::writeFileReporting(const std::string& path,
                                    std::span<const std::span<const std::uint8_t>> parts,
                                    bool durable, const FileProgress& progress) {
    const std::uint64_t total = totalOf(parts);
    if (std::unique_ptr<FileWriter> file = createFile(path, durable)) {
        const auto produce = [parts](FileSink& sink) {
            for (const auto& part : parts) {
                sink.write(part);
            }
        };
        writeBlocks(*file, total, produce, durable, progress);
    } else {
        writeWholeFile(path, parts, durable);
    }
    if (progress) {
        progress(total, total);
    }
}

void FileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                   const FileProducer& produce, bool durable,
                                   const FileProgress& progress) {
    std::uint64_t written = 0;
    if (std::unique_ptr<FileWriter> file = createFile(path, durable)) {
        written = writeBlocks(*file, size, produce, durable, progress);
    } else {
        GatheringSink gather;
        produce(gather);
        const std::span<const std::uint8_t> parts[] = {gather.content};
        writeWholeFile(path, parts, durable);
        written = gather.content.size();
    }
    if (written != size) {
        throwWrongFileSize(path, written, size);
    }
    if (progress) {
        progress(size, size);
    }
}

std::vector<FileStatus> FileSystem::statuses(std::span<const std::string> paths) {
    std::vector<FileStatus> found;
    found.reserve(paths.size());
    for (const std::string& path : paths) {
        found.push_back(status(path));
    }
    return found;
}

FileCopy FileSystem::copyFile(const std::string& from, const std::string& to, bool durable,
                              const FileProgress& progress) {
    return copyThroughProgram(*this, from, to, durable, progress);
}

FileCopy FileSystem::copyThroughProgram(FileSystem& source, const std::string& from,
                                        const std::string& to, bool durable,
                                        const FileProgress& progress) {
    // The size announced is the one seen now; a file that changes meanwhile is copied as read and
    // then reported by writeFileInBlocks as another size, unless it changed back to it.
    const FileStatus status = source.status(from);
    if (!status.exists || status.isDirectory) {
        // The reading names the file and the reason, before anything is created.
        source.readFileInBlocks(from, [](std::span<const std::uint8_t>) {});
    }
    FileCopy copy;
    writeFileInBlocks(
        to, status.size,
        [&](FileSink& sink) {
            std::uint32_t crc = 0;
            std::uint64_t size = 0;
            source.readFileInBlocks(from, [&](std::span<const std::uint8_t> block) {
                crc = crc32(block, crc);
                size += block.size();
                sink.write(block);
            });
            copy = {size, CopyMethod::ThroughProgram, crc};
        },
        durable, progress);
    return copy;
}

std::uint64_t FileSystem::writeBlocks(FileWriter& file, std::uint64_t size,
                                      const FileProducer& produce, bool durable,
                                      const FileProgress& progress) {
    BlockSink sink(file, size, progress);
    produce(sink);
    std::function<void()> waiting;
    if (progress) {
        waiting = [&] { progress(sink.written, size); };
    }
    file.finish(durable, waiting);
    return sink.written;
}

void throwWrongFileSize(const std::string& path, std::uint64_t written, std::uint64_t size) {
    throw KavrinError(formatText(
        "Cannot write file \"%s\". %llu bytes were written instead of %llu", path.c_str(),
        static_cast<unsigned long long>(written), static_cast<unsigned long long>(size)));
}

}  // namespace kavrin

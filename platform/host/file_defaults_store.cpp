// SPDX-License-Identifier: MIT
#include "platform/host/file_defaults_store.h"

#include "protocol/utf8.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <system_error>
#include <utility>

namespace vemdo {

namespace {

using Values = std::map<std::string, std::string, std::less<>>;

enum class FileState {
    Missing,
    Loaded,
    // Exists but will never read: kept aside before it is replaced.
    Unreadable,
    // Could not be read this time (out of descriptors or memory, an I/O error): never replaced, since
    // its contents are unknown.
    Unavailable,
};

struct Snapshot {
    FileState state = FileState::Missing;
    Values values;
    std::string problem;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

std::string encodeBase64(std::string_view bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

// Padded, canonical base64 and nothing else: a value that does not decode whole makes the file unreadable.
std::optional<std::string> decodeBase64(std::string_view text) {
    std::string bytes(text.size() / 4 * 3, '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

std::optional<Values> decodeValues(std::string_view text) {
    rapidjson::Document document;
    // Iterative parsing: a hand-edited, deeply nested file must not exhaust the stack.
    document.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (document.HasParseError() || !document.IsObject())
        return std::nullopt;
    Values values;
    for (const auto& member : document.GetObject()) {
        std::string key(member.name.GetString(), member.name.GetStringLength());
        const auto& value = member.value;
        if (value.IsString()) {
            values.insert_or_assign(std::move(key), std::string(value.GetString(), value.GetStringLength()));
            continue;
        }
        // A member of any other shape would vanish at the next write, so it makes the whole file unreadable
        // (and kept aside) rather than being skipped.
        if (!value.IsObject() || value.MemberCount() != 1)
            return std::nullopt;
        auto encoded = value.FindMember("base64");
        if (encoded == value.MemberEnd() || !encoded->value.IsString())
            return std::nullopt;
        auto bytes = decodeBase64({encoded->value.GetString(), encoded->value.GetStringLength()});
        if (!bytes)
            return std::nullopt;
        values.insert_or_assign(std::move(key), std::move(*bytes));
    }
    return values;
}

std::string encodeValues(const Values& values) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 4);
    writer.StartObject();
    for (const auto& [key, value] : values) {
        writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
        if (isValidUtf8(value)) {
            writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
        } else {
            std::string encoded = encodeBase64(value);
            writer.StartObject();
            writer.Key("base64");
            writer.String(encoded.data(), static_cast<rapidjson::SizeType>(encoded.size()));
            writer.EndObject();
        }
    }
    writer.EndObject();
    std::string text(buffer.GetString(), buffer.GetSize());
    text += '\n';
    return text;
}

bool isPassingError(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

Snapshot readSnapshot(const std::filesystem::path& file) {
    Snapshot snapshot;
    int fd;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int error = errno;
        // ENOTDIR: a parent is not a directory, so no store file can exist there.
        snapshot.state = error == ENOENT || error == ENOTDIR ? FileState::Missing
                         : isPassingError(error)             ? FileState::Unavailable
                                                             : FileState::Unreadable;
        snapshot.problem = std::strerror(error);
        return snapshot;
    }
    FileDescriptor guard(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        snapshot.state = FileState::Unavailable;
        snapshot.problem = std::strerror(errno);
        return snapshot;
    }
    if (!S_ISREG(status.st_mode)) {
        snapshot.state = FileState::Unreadable;
        snapshot.problem = "not a regular file";
        return snapshot;
    }
    std::string text;
    std::array<char, 16384> chunk{};
    for (;;) {
        ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            snapshot.state = FileState::Unavailable;
            snapshot.problem = std::strerror(errno);
            return snapshot;
        }
        if (n == 0)
            break;
        text.append(chunk.data(), static_cast<std::size_t>(n));
    }
    auto values = decodeValues(text);
    if (!values) {
        snapshot.state = FileState::Unreadable;
        snapshot.problem = "not a JSON object of stored values";
        return snapshot;
    }
    snapshot.state = FileState::Loaded;
    snapshot.values = std::move(*values);
    return snapshot;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string temporaryPrefix(const std::filesystem::path& file) {
    return file.filename().string() + ".tmp-";
}

// Every writer holds the directory lock while its temporary file exists, so any such file seen under the
// lock was left by a writer that died mid-write.
void removeStaleTemporaries(const std::filesystem::path& file) {
    std::string prefix = temporaryPrefix(file);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), error)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(prefix))
            std::filesystem::remove(entry.path(), error);
    }
}

bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: link() refuses an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool keepAside(const std::filesystem::path& file, const std::string& problem) {
    constexpr int maxKeptFiles = 1000;
    for (int n = 0; n < maxKeptFiles; ++n) {
        std::filesystem::path aside = file;
        aside += n == 0 ? std::string(".corrupt") : ".corrupt." + std::to_string(n);
        if (renameWithoutReplacing(file, aside)) {
            std::fprintf(stderr, "vemdo-trackpad: could not read the stored settings in %s (%s); kept them as %s\n",
                         file.c_str(), problem.c_str(), aside.c_str());
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates the store's own directory 0700 (the umask can only take bits away); an existing directory keeps
// the permissions its owner gave it.
bool ensureDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory.parent_path(), error);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return std::filesystem::is_directory(directory, error);
}

bool replaceFile(const std::filesystem::path& file, int directoryFd, std::string_view contents) {
    std::string pattern = (file.parent_path() / (temporaryPrefix(file) + "XXXXXX")).string();
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    bool written = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), contents) && ::fsync(fd.get()) == 0;
    written = ::close(fd.release()) == 0 && written;
    if (!written || ::rename(pattern.c_str(), file.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return false;
    }
    // The new contents are in place whatever this says; it only makes the rename itself durable.
    ::fsync(directoryFd);
    return true;
}

} // namespace

FileDefaultsStore::FileDefaultsStore(std::filesystem::path file) : m_file(std::move(file)) {
    if (!m_file.is_absolute())
        std::fprintf(stderr, "vemdo-trackpad: settings cannot be kept: \"%s\" is not an absolute path\n",
                     m_file.c_str());
}

DefaultsStore::Read FileDefaultsStore::read(std::string_view key) const {
    if (!m_file.is_absolute())
        return {};
    std::lock_guard lock(m_mutex);
    Snapshot snapshot = readSnapshot(m_file);
    if (snapshot.state != FileState::Loaded)
        return {std::nullopt, snapshot.state == FileState::Unavailable};
    auto it = snapshot.values.find(key);
    if (it == snapshot.values.end())
        return {};
    return {it->second, false};
}

bool FileDefaultsStore::setData(std::string_view key, std::string_view value) {
    if (!m_file.is_absolute() || !isValidUtf8(key))
        return false;
    std::lock_guard lock(m_mutex);
    std::filesystem::path directory = m_file.parent_path();
    if (!ensureDirectory(directory))
        return false;
    FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd.get() < 0)
        return false;
    int locked;
    do {
        locked = ::flock(directoryFd.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return false;
    removeStaleTemporaries(m_file);

    Snapshot snapshot = readSnapshot(m_file);
    if (snapshot.state == FileState::Unavailable)
        return false;
    if (snapshot.state == FileState::Unreadable && !keepAside(m_file, snapshot.problem))
        return false;
    snapshot.values.insert_or_assign(std::string(key), std::string(value));
    // The lock goes with the descriptor, after the rename.
    return replaceFile(m_file, directoryFd.get(), encodeValues(snapshot.values));
}

} // namespace vemdo

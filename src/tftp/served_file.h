// A file that a session serves: a regular file, opened without ever blocking, read block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace quillet {

class ServedFile {
  public:
    /// Opens name for reading (relative to the working directory, or absolute) if it is a regular
    /// file. Directories, devices, FIFOs and sockets give none, and opening never blocks. On
    /// Windows the name is UTF-8 with '/' and '\\' both separators, and it must resolve inside the
    /// working directory.
    static std::optional<ServedFile> openRegular(const std::string& name);

    ~ServedFile() { release(); }
    ServedFile(ServedFile&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, kNoDescriptor)),
          size_(other.size_),
          atEnd_(other.atEnd_) {}
    ServedFile& operator=(ServedFile&& other) noexcept {
        if (this != &other) {
            release();
            descriptor_ = std::exchange(other.descriptor_, kNoDescriptor);
            size_ = other.size_;
            atEnd_ = other.atEnd_;
        }
        return *this;
    }
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    /// The file's size in bytes when it was opened.
    std::int64_t size() const { return size_; }

    /// Fills buffer as far as the file goes. Returns the bytes read (fewer only at the end of the
    /// file), or -1 on a read error. Reaching the end sets atEnd(), as a stream's end-of-file
    /// indicator does: a read that stops exactly at the end does not set it; the next one does.
    std::ptrdiff_t read(std::span<std::uint8_t> buffer);

    /// True once a read has met the end of the file.
    bool atEnd() const { return atEnd_; }

  private:
#ifdef _WIN32
    using Descriptor = void*;  // HANDLE
    static inline Descriptor const kNoDescriptor = reinterpret_cast<Descriptor>(-1);
#else
    using Descriptor = int;
    static constexpr Descriptor kNoDescriptor = -1;
#endif

    ServedFile(Descriptor descriptor, std::int64_t size) : descriptor_(descriptor), size_(size) {}

    /// Closes the file if this object holds one.
    void release();

    Descriptor descriptor_ = kNoDescriptor;
    std::int64_t size_ = 0;
    bool atEnd_ = false;
};

}  // namespace quillet

// Named shared-memory objects, mapped whole, read-write. A region NAME is, on POSIX systems, the
// object "/" + NAME without its leading "/" characters (/dev/shm/NAME on Linux); on Windows, the
// file mapping object named NAME over the backing file NAME (leading "/" removed) in the folder
// "shared_memory-rs" of the user's temporary directory.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_error.hpp"
#include "platform/os_error.hpp"

namespace zelto::platform {

// Why a mapping could not be made. The texts are the ones the shared-memory error displays.
struct SharedMemoryError {
    enum class Kind {
        Open,        // "Opening the shared memory failed, os error N"
        Unexpected,  // "An unexpected OS error occurred, os error N"
        Create,      // "Creating the shared memory failed, os error N" (server side only)
        Reserve,     // "Reserving the shared memory failed: TEXT (os error N)"
    };
    Kind kind = Kind::Open;
    int os_errno = 0;
    std::string message() const;
};

inline std::string SharedMemoryError::message() const {
    if (kind == Kind::Reserve)
        return "Reserving the shared memory failed: " + os_error(os_errno).message;
    const char* text = "";
    switch (kind) {
        case Kind::Open:
            text = "Opening the shared memory failed, os error ";
            break;
        case Kind::Unexpected:
            text = "An unexpected OS error occurred, os error ";
            break;
        case Kind::Create:
            text = "Creating the shared memory failed, os error ";
            break;
        case Kind::Reserve:
            break;
    }
    return text + std::to_string(os_errno);
}

// An open, mapped named shared-memory object. Unmaps and closes on destruction.
class SharedMapping {
public:
    // Opens the existing object NAME read-write and maps all of it. size() is the object's size
    // rounded up to the page size, which is what the mapping covers.
    static std::expected<SharedMapping, SharedMemoryError> open(std::string_view name);

    // Creates NAME with `size` bytes (zero-filled) and maps it. A leftover object of the same
    // name is removed first when `replace` is set; otherwise an existing object is an error.
    // The object's memory is reserved whole (Reserve error, and no object, when the system
    // cannot provide it), so that writing anywhere in the mapping later cannot fail.
    static std::expected<SharedMapping, SharedMemoryError> create(std::string_view name,
                                                                  uint64_t size, bool replace);

    // Opens NAME read-write, creating it if it does not exist, makes it at least `size` bytes
    // long (new bytes read as zero), reserves the memory of those bytes (a Reserve error when
    // the system cannot provide it) and maps `size` bytes of it. A new object gets the
    // permission bits `mode` (not narrowed by the umask), so that whoever may use the object
    // `mode` was taken from may use this one too.
    static std::expected<SharedMapping, SharedMemoryError> open_or_create(std::string_view name,
                                                                          uint64_t size,
                                                                          unsigned mode);

    // Removes the name; existing mappings stay valid. Returns false if it could not be removed.
    static bool unlink(std::string_view name);

    SharedMapping(SharedMapping&& other) noexcept;
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    ~SharedMapping();

    uint8_t* base() const { return base_; }
    uint64_t size() const { return size_; }
    // Makes the memory behind bytes [offset, offset + length) of the mapping exist, so that
    // writing there cannot fail later. An object's memory is made on first write; where the
    // system has none left (a full shared-memory file system, a full disk under a backing file)
    // that write would kill the process (SIGBUS) instead of failing. The system's error when
    // the memory cannot be made: ENOSPC on POSIX systems, the system's disk-full error on
    // Windows. Bytes outside the mapping are ignored. Costs one cheap system call where the
    // memory exists already.
    std::expected<void, IoError> populate(uint64_t offset, uint64_t length) const;
    // The object's permission bits (0600 if they cannot be read, and on Windows, where access
    // comes from the folder's access list, which an object made beside it inherits).
    unsigned permissions() const;
    // A number that tells this object from another of the same name made after it was removed
    // (its inode; on Windows the backing file's index and volume); 0 if it cannot be read.
    uint64_t identity() const;
    // The identity of the object that NAME names now; 0 if there is none.
    static uint64_t identity_of(std::string_view name);

    // Byte locks on the object, for coordination among the processes that open it: a lock is
    // held by this open of the object (not by the thread or the process) until it is unlocked
    // or the mapping is closed, and another open of the same object, in this process or in
    // another, sees it taken. A process that dies loses its locks. Offsets past the object's
    // end may be locked; nothing in the object changes.
    bool try_lock_byte(uint64_t at);
    void unlock_byte(uint64_t at);
    // Whether another open of the object holds the lock on the byte at `at`.
    bool byte_locked_elsewhere(uint64_t at) const;

private:
    // The open object: a file descriptor on POSIX systems, the backing file's HANDLE on Windows
    // (the mapping object lives as long as the view, which holds it); -1 for none.
    using NativeFile = intptr_t;
    static constexpr NativeFile kNoFile = -1;

    SharedMapping(uint8_t* base, uint64_t size, NativeFile file)
        : base_(base), size_(size), file_(file) {}
    void reset() noexcept;

    uint8_t* base_ = nullptr;
    uint64_t size_ = 0;
    NativeFile file_ = kNoFile;
    // The bytes this open holds locked, where the system cannot tell this open's locks from
    // another's when asked (Windows); empty elsewhere.
    std::vector<uint64_t> locked_bytes_;
};

}  // namespace zelto::platform

// Named shared-memory objects: /dev/shm/NAME through shm_open, mapped whole, read-write.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace zelto::platform {

// Why a mapping could not be made. The texts are the ones the shared-memory error displays.
struct SharedMemoryError {
    enum class Kind {
        Open,        // "Opening the shared memory failed, os error N"
        Unexpected,  // "An unexpected OS error occurred, os error N"
        Create,      // "Creating the shared memory failed, os error N" (server side only)
    };
    Kind kind = Kind::Open;
    int os_errno = 0;
    std::string message() const;
};

// An open, mapped named shared-memory object. Unmaps and closes on destruction.
class SharedMapping {
public:
    // Opens the existing object NAME read-write and maps all of it. size() is the object's size
    // rounded up to the page size, which is what the mapping covers.
    static std::expected<SharedMapping, SharedMemoryError> open(std::string_view name);

    // Creates NAME with `size` bytes (zero-filled) and maps it. A leftover object of the same
    // name is removed first when `replace` is set; otherwise an existing object is an error.
    static std::expected<SharedMapping, SharedMemoryError> create(std::string_view name,
                                                                  uint64_t size, bool replace);

    // Removes the name; existing mappings stay valid. Returns false if it could not be removed.
    static bool unlink(std::string_view name);

    // The object path that shm_open uses for a region name: "/" + name without leading "/".
    static std::string object_path(std::string_view name);

    SharedMapping(SharedMapping&& other) noexcept;
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    ~SharedMapping();

    uint8_t* base() const { return base_; }
    uint64_t size() const { return size_; }

private:
    SharedMapping(uint8_t* base, uint64_t size, int fd) : base_(base), size_(size), fd_(fd) {}
    void reset() noexcept;

    uint8_t* base_ = nullptr;
    uint64_t size_ = 0;
    int fd_ = -1;
};

}  // namespace zelto::platform

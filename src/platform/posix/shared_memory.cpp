#include "platform/shared_memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

// Linux 5.14's madvise advice that faults pages in for writing; older headers lack the name.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

namespace zelto::platform {

namespace {

uint64_t page_size() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint64_t>(page) : 4096;
}

SharedMemoryError error(SharedMemoryError::Kind kind, int err) {
    return SharedMemoryError{kind, err};
}

// Maps `size` bytes of `fd`, taking ownership of fd: it is closed if the mapping fails.
std::expected<std::pair<uint8_t*, uint64_t>, SharedMemoryError> map_whole(int fd, uint64_t size) {
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        int err = errno;
        close(fd);
        return std::unexpected(error(SharedMemoryError::Kind::Open, err));
    }
    return std::pair{static_cast<uint8_t*>(base), size};
}

// The object path that shm_open uses for a region name: "/" + name without leading "/".
std::string object_path(std::string_view name) {
    size_t first = name.find_first_not_of('/');
    std::string path = "/";
    if (first != std::string_view::npos) path += name.substr(first);
    return path;
}

int fd_of(intptr_t file) {
    return static_cast<int>(file);
}

// Allocates the object's memory for bytes [0, size): the whole object stays usable however
// full its file system becomes. 0 or the error number.
int reserve(int fd, uint64_t size) {
    int err;
    do {
        err = posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (err == EINTR);
    return err;
}

}  // namespace

std::expected<SharedMapping, SharedMemoryError> SharedMapping::open(std::string_view name) {
    std::string path = object_path(name);
    int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(error(SharedMemoryError::Kind::Open, errno));

    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, err));
    }
    // The view covers whole pages: the object's size rounded up to the page size. An empty
    // object cannot be mapped and fails in mmap with EINVAL.
    uint64_t page = page_size();
    uint64_t size = static_cast<uint64_t>(st.st_size);
    size = (size + page - 1) / page * page;
    auto mapped = map_whole(fd, size);
    if (!mapped) return std::unexpected(mapped.error());
    return SharedMapping(mapped->first, mapped->second, fd);
}

std::expected<SharedMapping, SharedMemoryError> SharedMapping::create(std::string_view name,
                                                                      uint64_t size, bool replace) {
    std::string path = object_path(name);
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && replace) {
        shm_unlink(path.c_str());
        fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0) return std::unexpected(error(SharedMemoryError::Kind::Create, errno));
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX) ||
        ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int err = size == 0 || size > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno;
        close(fd);
        shm_unlink(path.c_str());
        return std::unexpected(error(SharedMemoryError::Kind::Create, err));
    }
    if (int err = reserve(fd, size); err != 0) {
        close(fd);
        shm_unlink(path.c_str());
        return std::unexpected(error(SharedMemoryError::Kind::Reserve, err));
    }
    auto mapped = map_whole(fd, size);
    if (!mapped) {
        shm_unlink(path.c_str());
        return std::unexpected(mapped.error());
    }
    return SharedMapping(mapped->first, mapped->second, fd);
}

std::expected<SharedMapping, SharedMemoryError> SharedMapping::open_or_create(std::string_view name,
                                                                              uint64_t size,
                                                                              unsigned mode) {
    std::string path = object_path(name);
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX))
        return std::unexpected(error(SharedMemoryError::Kind::Create, EINVAL));
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (fd >= 0) {
        (void)fchmod(fd, mode & 0777);  // the umask narrowed what shm_open set
    } else if (errno == EEXIST) {
        fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    }
    if (fd < 0) return std::unexpected(error(SharedMemoryError::Kind::Open, errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || (static_cast<uint64_t>(st.st_size) < size &&
                                ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        int err = errno;
        close(fd);
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, err));
    }
    // Also for an object that existed: its maker may have been stopped before it reserved it.
    if (int err = reserve(fd, size); err != 0) {
        close(fd);
        return std::unexpected(error(SharedMemoryError::Kind::Reserve, err));
    }
    auto mapped = map_whole(fd, size);
    if (!mapped) return std::unexpected(mapped.error());
    return SharedMapping(mapped->first, mapped->second, fd);
}

std::expected<void, IoError> SharedMapping::populate(uint64_t offset, uint64_t length) const {
    if (offset >= size_ || length == 0) return {};
    const uint64_t page = page_size();
    const uint64_t first = offset / page * page;
    const uint64_t end = std::min(size_, offset + std::min(length, size_ - offset));
    const uint64_t span = (end - first + page - 1) / page * page;
    int err = EOPNOTSUPP;
    if (file_ != kNoFile) {
        // Allocating the object's pages without changing its length. On a tmpfs this is all or
        // nothing (a failure takes back the pages it added, leaving the room to smaller
        // requests), fails with ENOSPC when the file system is full, and takes a fraction of a
        // microsecond where the pages exist.
        int done;
        do {
            done = fallocate(fd_of(file_), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(first),
                             static_cast<off_t>(span));
        } while (done != 0 && errno == EINTR);
        if (done == 0) return {};
        err = errno;
    }
    if (err != EOPNOTSUPP && err != ENOSYS) return std::unexpected(os_error(err));
#ifdef MADV_POPULATE_WRITE
    // A file system without fallocate: have the pages faulted in for writing now, where a
    // failure is an error and not a signal.
    if (madvise(base_ + first, span, MADV_POPULATE_WRITE) == 0) return {};
    err = errno;
    // A kernel before 5.14 has no such advice: nothing can be done before the write itself.
    if (err == EINVAL) return {};
    // The fault that failed is the one that would have raised SIGBUS: the object's memory could
    // not be provided, which for a mapping of the whole object means its file system is full.
    if (err == EFAULT) err = ENOSPC;
    return std::unexpected(os_error(err));
#else
    return {};
#endif
}

unsigned SharedMapping::permissions() const {
    struct stat st {};
    if (file_ == kNoFile || fstat(fd_of(file_), &st) != 0) return 0600;
    return static_cast<unsigned>(st.st_mode) & 0777;
}

uint64_t SharedMapping::identity() const {
    struct stat st {};
    if (file_ == kNoFile || fstat(fd_of(file_), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_ino);
}

uint64_t SharedMapping::identity_of(std::string_view name) {
    int fd = shm_open(object_path(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct stat st {};
    uint64_t identity = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
    close(fd);
    return identity;
}

namespace {

// An open-file-description lock on one byte: owned by this open of the object, so two opens
// in one process exclude each other as two processes do, and closing a duplicate descriptor
// (a forked child's copy) does not drop it.
struct flock byte_lock(short type, uint64_t at) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(at);
    lock.l_len = 1;
    return lock;
}

}  // namespace

bool SharedMapping::try_lock_byte(uint64_t at) {
    struct flock lock = byte_lock(F_WRLCK, at);
    return file_ != kNoFile && fcntl(fd_of(file_), F_OFD_SETLK, &lock) == 0;
}

void SharedMapping::unlock_byte(uint64_t at) {
    struct flock lock = byte_lock(F_UNLCK, at);
    if (file_ != kNoFile) (void)fcntl(fd_of(file_), F_OFD_SETLK, &lock);
}

bool SharedMapping::byte_locked_elsewhere(uint64_t at) const {
    struct flock lock = byte_lock(F_WRLCK, at);
    // A failed query is taken as "held": a holder is never declared gone by mistake.
    if (file_ == kNoFile || fcntl(fd_of(file_), F_OFD_GETLK, &lock) != 0) return true;
    return lock.l_type != F_UNLCK;
}

bool SharedMapping::unlink(std::string_view name) {
    return shm_unlink(object_path(name).c_str()) == 0;
}

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      file_(std::exchange(other.file_, kNoFile)),
      locked_bytes_(std::move(other.locked_bytes_)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        reset();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        file_ = std::exchange(other.file_, kNoFile);
        locked_bytes_ = std::move(other.locked_bytes_);
    }
    return *this;
}

SharedMapping::~SharedMapping() {
    reset();
}

void SharedMapping::reset() noexcept {
    if (base_ != nullptr) munmap(base_, size_);
    if (file_ != kNoFile) close(fd_of(file_));
    base_ = nullptr;
    size_ = 0;
    file_ = kNoFile;
}

}  // namespace zelto::platform

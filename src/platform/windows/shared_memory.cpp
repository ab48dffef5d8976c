#include "platform/shared_memory.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <utility>

namespace zelto::platform {

namespace {

// A region's backing file may be opened, renamed and removed by anyone while it is open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

SharedMemoryError error(SharedMemoryError::Kind kind, DWORD err) {
    return SharedMemoryError{kind, static_cast<int>(err)};
}

HANDLE handle_of(intptr_t file) {
    return reinterpret_cast<HANDLE>(file);
}

intptr_t native(HANDLE file) {
    return reinterpret_cast<intptr_t>(file);
}

// UTF-8 to UTF-16; none for text that is not UTF-8 or holds a NUL (which would cut the name
// short and name another object).
std::optional<std::wstring> widen(std::string_view text) {
    if (text.empty()) return std::wstring();
    if (text.find('\0') != std::string_view::npos || text.size() > INT_MAX) return std::nullopt;
    const int length = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (wide <= 0) return std::nullopt;
    std::wstring out(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), wide);
    return out;
}

// The folder of the backing files: "shared_memory-rs" in the user's temporary directory.
constexpr std::wstring_view kFolder = L"shared_memory-rs";
// Where removed backing files wait until the last process that maps one lets it go (see
// remove_file): a folder of its own beside the region files, so that nothing in it is ever
// taken for a region, whatever the region's name.
constexpr std::wstring_view kRemovedFolder = L"shared_memory-rs.removed";

std::optional<std::wstring> temp_folder(std::wstring_view folder) {
    DWORD length = GetTempPathW(0, nullptr);
    if (length == 0) return std::nullopt;
    std::wstring temp(length, L'\0');
    length = GetTempPathW(length, temp.data());
    if (length == 0 || length >= temp.size()) return std::nullopt;
    temp.resize(length);
    if (temp.back() != L'\\' && temp.back() != L'/') temp += L'\\';
    return temp.append(folder);
}

// The backing file's name of region NAME: NAME without its leading "/" characters.
std::string_view file_name_of(std::string_view name) {
    const size_t first = name.find_first_not_of('/');
    return first == std::string_view::npos ? std::string_view() : name.substr(first);
}

// The backing file of region NAME: NAME without its leading "/" characters, in the folder. A
// name that is not a plain file name (a separator, a stream name, "." or "..") has none: it
// would reach a file outside the folder.
std::optional<std::wstring> backing_path(std::string_view name) {
    const std::string_view file = file_name_of(name);
    if (file.empty() || file == "." || file == ".." ||
        file.find_first_of("\\/:") != std::string_view::npos)
        return std::nullopt;
    auto folder = temp_folder(kFolder);
    auto wide = widen(file);
    if (!folder || !wide) return std::nullopt;
    return *folder + L"\\" + *wide;
}

// Creates `folder` if it is missing; the error number when it cannot be made.
std::optional<DWORD> prepare_folder(const std::optional<std::wstring>& folder) {
    if (!folder) return GetLastError();
    if (CreateDirectoryW(folder->c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return std::nullopt;
    return GetLastError();
}

HANDLE open_file(const std::wstring& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Removes the backing file at `path`. Windows refuses to delete a file while a process maps it,
// and keeps the name of a file that is open elsewhere until its last handle closes, whereas a
// new region must be able to take the name at once, as on POSIX systems. So the file is first
// moved into the folder of removed files, under a name of its own, and deleted from there: at
// once if nobody maps it any more, else by the last process that unmaps it
// (SharedMapping::reset), or by the next server that creates a region.
bool remove_file(const std::wstring& path) {
    static std::atomic<uint64_t> removals{0};
    auto removed = temp_folder(kRemovedFolder);
    if (removed && !prepare_folder(removed)) {
        const std::wstring aside = *removed + path.substr(path.rfind(L'\\')) + L"-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(removals.fetch_add(1)) + L"-" +
                                   std::to_wstring(GetTickCount64());
        if (MoveFileExW(path.c_str(), aside.c_str(), 0)) {
            (void)DeleteFileW(aside.c_str());
            return true;
        }
    }
    return DeleteFileW(path.c_str()) != 0;
}

// Deletes what removed files no process maps any more (those of processes that ended).
void delete_removed_files() {
    auto removed = temp_folder(kRemovedFolder);
    if (!removed) return;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((*removed + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            (void)DeleteFileW((*removed + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Whether `file` has been moved into the folder of removed files; if so its path, in `path`.
// Fixed storage: this runs while a mapping is being closed, which must not fail.
bool removed_path(HANDLE file, wchar_t (&path)[1024]) {
    const DWORD length = GetFinalPathNameByHandleW(file, path, 1024, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= 1024) return false;
    const std::wstring_view full(path, length);
    const size_t name_at = full.rfind(L'\\');
    if (name_at == std::wstring_view::npos || name_at == 0) return false;
    const size_t folder_at = full.rfind(L'\\', name_at - 1);
    if (folder_at == std::wstring_view::npos) return false;
    const std::wstring_view folder = full.substr(folder_at + 1, name_at - folder_at - 1);
    return CompareStringOrdinal(folder.data(), static_cast<int>(folder.size()),
                                kRemovedFolder.data(), static_cast<int>(kRemovedFolder.size()),
                                TRUE) == CSTR_EQUAL;
}

// Sets the file's length to `size` bytes; bytes added read as zero.
bool set_length(HANDLE file, uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// The file's length and the disk space allocated to it; none when they cannot be read.
struct Allocation {
    uint64_t length;
    uint64_t allocated;
};
std::optional<Allocation> allocation_of(HANDLE file) {
    FILE_STANDARD_INFO info{};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
        return std::nullopt;
    return Allocation{static_cast<uint64_t>(info.EndOfFile.QuadPart),
                      static_cast<uint64_t>(info.AllocationSize.QuadPart)};
}

// Writes zeros over bytes [offset, end) of the file, which gives them disk space wherever the
// file system left them unallocated (a sparse file: under Wine the file lives on a Linux file
// system, whose files grow sparse). The error number, or 0.
DWORD write_zeros(HANDLE file, uint64_t offset, uint64_t end) {
    static const uint8_t kZeros[64 * 1024] = {};
    while (offset < end) {
        const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(end - offset, sizeof kZeros));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(file, kZeros, chunk, &written, &at)) return GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        offset += written;
    }
    return 0;
}

// Gives the first `size` bytes of the file disk space, so that no write through a view of it
// can fail for want of space later (a failed write through a view is an in-page error that
// ends the process). An allocation that covers them already costs one query. The error number,
// or 0.
DWORD reserve(HANDLE file, uint64_t size) {
    auto allocation = allocation_of(file);
    if (allocation && allocation->allocated >= size) return 0;
    FILE_ALLOCATION_INFO wanted{};
    wanted.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(file, FileAllocationInfo, &wanted, sizeof wanted)) {
        allocation = allocation_of(file);
        if (allocation && allocation->allocated >= size) return 0;
    }
    // Only the bytes already written can be known to have space: the rest is written.
    return write_zeros(file, 0, size);
}

// Whether a process holds a mapping object named `object_name` open.
bool name_in_use(const std::wstring& object_name) {
    HANDLE existing = OpenFileMappingW(FILE_MAP_READ, FALSE, object_name.c_str());
    if (existing == nullptr) return GetLastError() != ERROR_FILE_NOT_FOUND;
    CloseHandle(existing);
    return true;
}

struct View {
    uint8_t* base;
    uint64_t size;
};

// Maps the file mapping object over `file` whole, read-write. A named object that exists
// already is the one mapped (a server that keeps its object open meets its clients there);
// otherwise a new one is made over `file`. Either way the memory is the backing file's: views
// of objects backed by one file are coherent. `object_name` null makes an unnamed object.
// `length` 0 maps the whole object. The object's handle is closed at once: the view keeps the
// object alive for as long as it lives, and the name goes with the last handle, so a region
// made anew under an old name never meets an object of the old file (as on POSIX systems,
// where a removed name leaves its mappings valid). Nothing is left open on failure; `file`
// stays open either way.
std::expected<View, SharedMemoryError> map_view(HANDLE file, const wchar_t* object_name,
                                                uint64_t length, bool must_be_new) {
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, object_name);
    if (mapping == nullptr)
        return std::unexpected(error(SharedMemoryError::Kind::Open, GetLastError()));
    if (must_be_new && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        return std::unexpected(error(SharedMemoryError::Kind::Create, ERROR_ALREADY_EXISTS));
    }
    void* base =
        MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(length));
    const DWORD map_error = GetLastError();
    CloseHandle(mapping);
    if (base == nullptr) return std::unexpected(error(SharedMemoryError::Kind::Open, map_error));
    if (length != 0) return View{static_cast<uint8_t*>(base), length};
    // The view's size as the system reports it: the object's size rounded up to whole pages.
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(base, &info, sizeof info) == 0) {
        const DWORD err = GetLastError();
        UnmapViewOfFile(base);
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, err));
    }
    return View{static_cast<uint8_t*>(base), static_cast<uint64_t>(info.RegionSize)};
}

std::optional<uint64_t> file_identity(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    // The file's index is unique on its volume; the volume's serial number, folded in by a
    // fixed mix, tells files of different volumes apart, and keeps the files of one volume (all
    // regions live in one folder) as distinct as their indices are.
    const uint64_t index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    const uint64_t identity = index ^ (uint64_t{info.dwVolumeSerialNumber} * 0x9E3779B97F4A7C15ULL);
    return identity != 0 ? identity : 1;
}

OVERLAPPED byte_at(uint64_t at) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    return where;
}

}  // namespace

std::expected<SharedMapping, SharedMemoryError> SharedMapping::open(std::string_view name) {
    // Any failure to open the backing file, whatever its cause, reads as a missing region.
    auto path = backing_path(name);
    auto object_name = widen(name);
    if (!path || !object_name)
        return std::unexpected(error(SharedMemoryError::Kind::Open, ERROR_FILE_NOT_FOUND));
    HANDLE file = open_file(*path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return std::unexpected(error(SharedMemoryError::Kind::Open, ERROR_FILE_NOT_FOUND));
    auto view = map_view(file, object_name->c_str(), 0, false);
    if (!view) {
        CloseHandle(file);
        return std::unexpected(view.error());
    }
    return SharedMapping(view->base, view->size, native(file));
}

std::expected<SharedMapping, SharedMemoryError> SharedMapping::create(std::string_view name,
                                                                      uint64_t size, bool replace) {
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX))
        return std::unexpected(error(SharedMemoryError::Kind::Create, ERROR_INVALID_PARAMETER));
    if (auto failed = prepare_folder(temp_folder(kFolder)))
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, *failed));
    delete_removed_files();
    auto path = backing_path(name);
    auto object_name = widen(name);
    if (!path || !object_name)
        return std::unexpected(error(SharedMemoryError::Kind::Create, ERROR_INVALID_NAME));
    // A mapping object of this name that some process holds open belongs to another server of
    // the region. Its name cannot be taken over, and sharing the object would put this region's
    // clients and that one's in one set of queues without knowing of each other. Asked first, so
    // that the other server's backing file is left alone. (Objects of this library's own
    // processes are unnamed as soon as they are mapped: see map_view.)
    if (name_in_use(*object_name))
        return std::unexpected(error(SharedMemoryError::Kind::Create, ERROR_ALREADY_EXISTS));
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    HANDLE file = open_file(*path, access, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && replace) {
        remove_file(*path);
        file = open_file(*path, access, CREATE_NEW);
    }
    if (file == INVALID_HANDLE_VALUE)
        return std::unexpected(error(SharedMemoryError::Kind::Create, GetLastError()));
    auto fail = [&](SharedMemoryError why) {
        CloseHandle(file);
        remove_file(*path);
        return std::unexpected(why);
    };
    if (!set_length(file, size))
        return fail(error(SharedMemoryError::Kind::Create, GetLastError()));
    if (const DWORD failed = reserve(file, size); failed != 0)
        return fail(error(SharedMemoryError::Kind::Reserve, failed));
    auto view = map_view(file, object_name->c_str(), 0, true);
    if (!view) return fail(view.error());
    return SharedMapping(view->base, view->size, native(file));
}

std::expected<SharedMapping, SharedMemoryError> SharedMapping::open_or_create(std::string_view name,
                                                                              uint64_t size,
                                                                              unsigned /*mode*/) {
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX) || size > SIZE_MAX)
        return std::unexpected(error(SharedMemoryError::Kind::Create, ERROR_INVALID_PARAMETER));
    if (auto failed = prepare_folder(temp_folder(kFolder)))
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, *failed));
    auto path = backing_path(name);
    if (!path) return std::unexpected(error(SharedMemoryError::Kind::Open, ERROR_INVALID_NAME));
    HANDLE file = open_file(*path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return std::unexpected(error(SharedMemoryError::Kind::Open, GetLastError()));
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length) ||
        (static_cast<uint64_t>(length.QuadPart) < size && !set_length(file, size))) {
        const DWORD err = GetLastError();
        CloseHandle(file);
        return std::unexpected(error(SharedMemoryError::Kind::Unexpected, err));
    }
    if (const DWORD failed = reserve(file, size); failed != 0) {
        CloseHandle(file);
        return std::unexpected(error(SharedMemoryError::Kind::Reserve, failed));
    }
    // Unnamed: the objects that only this library's processes share are told apart by their
    // files alone, so a new file under an old name never meets a mapping of the old file.
    auto view = map_view(file, nullptr, size, false);
    if (!view) {
        CloseHandle(file);
        return std::unexpected(view.error());
    }
    return SharedMapping(view->base, view->size, native(file));
}

std::expected<void, IoError> SharedMapping::populate(uint64_t offset, uint64_t length) const {
    if (file_ == kNoFile || offset >= size_ || length == 0) return {};
    auto allocation = allocation_of(handle_of(file_));
    if (!allocation) return std::unexpected(os_error(static_cast<int>(GetLastError())));
    // A file whose whole length has disk space (the reference server reserves its regions;
    // NTFS allocates a file's length as it is set) has nothing to make.
    if (allocation->allocated >= allocation->length) return {};
    // A sparse backing file: the bytes are written with zeros, which allocates them, and which
    // the block written next replaces. Past the file's end nothing is written: a client never
    // makes a region longer.
    const uint64_t end =
        std::min({size_, offset + std::min(length, size_ - offset), allocation->length});
    if (offset >= end) return {};
    if (const DWORD failed = write_zeros(handle_of(file_), offset, end); failed != 0)
        return std::unexpected(os_error(static_cast<int>(failed)));
    return {};
}

bool SharedMapping::unlink(std::string_view name) {
    auto path = backing_path(name);
    return path && remove_file(*path);
}

unsigned SharedMapping::permissions() const {
    return 0600;
}

uint64_t SharedMapping::identity() const {
    if (file_ == kNoFile) return 0;
    return file_identity(handle_of(file_)).value_or(0);
}

uint64_t SharedMapping::identity_of(std::string_view name) {
    auto path = backing_path(name);
    if (!path) return 0;
    HANDLE file = open_file(*path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return 0;
    uint64_t identity = file_identity(file).value_or(0);
    CloseHandle(file);
    return identity;
}

// Byte-range locks belong to the handle that took them: another handle, in this process or in
// another, sees them taken, and closing the handle (or the process's end) releases them.
bool SharedMapping::try_lock_byte(uint64_t at) {
    if (file_ == kNoFile) return false;
    OVERLAPPED where = byte_at(at);
    if (!LockFileEx(handle_of(file_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &where))
        return false;
    try {
        locked_bytes_.push_back(at);
    } catch (...) {
        where = byte_at(at);
        (void)UnlockFileEx(handle_of(file_), 0, 1, 0, &where);
        return false;
    }
    return true;
}

void SharedMapping::unlock_byte(uint64_t at) {
    auto held = std::find(locked_bytes_.begin(), locked_bytes_.end(), at);
    if (file_ == kNoFile || held == locked_bytes_.end()) return;
    locked_bytes_.erase(held);
    OVERLAPPED where = byte_at(at);
    (void)UnlockFileEx(handle_of(file_), 0, 1, 0, &where);
}

bool SharedMapping::byte_locked_elsewhere(uint64_t at) const {
    // Windows has no query for a lock's holder, so the answer is a brief shared lock of the
    // byte: it is refused while another handle holds the byte. This handle's own lock is not
    // probed (the probe would stack on it), and no other handle can hold that byte meanwhile.
    if (std::find(locked_bytes_.begin(), locked_bytes_.end(), at) != locked_bytes_.end())
        return false;
    // A failed probe is taken as "held": a holder is never declared gone by mistake.
    if (file_ == kNoFile) return true;
    OVERLAPPED where = byte_at(at);
    if (!LockFileEx(handle_of(file_), LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) return true;
    where = byte_at(at);
    (void)UnlockFileEx(handle_of(file_), 0, 1, 0, &where);
    return false;
}

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      file_(std::exchange(other.file_, kNoFile)),
      locked_bytes_(std::exchange(other.locked_bytes_, {})) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        reset();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        file_ = std::exchange(other.file_, kNoFile);
        locked_bytes_ = std::exchange(other.locked_bytes_, {});
    }
    return *this;
}

SharedMapping::~SharedMapping() {
    reset();
}

void SharedMapping::reset() noexcept {
    // A removed file that this process was the last to map goes now (see remove_file).
    wchar_t removed[1024];
    const bool was_removed = file_ != kNoFile && removed_path(handle_of(file_), removed);
    if (base_ != nullptr) UnmapViewOfFile(base_);
    // Closing the file releases the locks its handle holds.
    if (file_ != kNoFile) CloseHandle(handle_of(file_));
    if (was_removed) (void)DeleteFileW(removed);
    base_ = nullptr;
    size_ = 0;
    file_ = kNoFile;
    locked_bytes_.clear();
}

}  // namespace zelto::platform

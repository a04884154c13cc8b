// Pool allocation for the driver: the pool type of this Windows version, the
// driver's pool tags, pool-allocated objects and owned pool buffers.
#pragma once

#include <ntddk.h>

namespace vq7 {

// Tags as the four characters they are written as, low byte first.
constexpr ULONG kPoolTagUsba = 0x41425355;  // "USBA": the driver's allocations
constexpr ULONG kPoolTagPcCr = 0x72436350;  // "PcCr": the adapter and the miniport objects
constexpr ULONG kPoolTagBpmt = 0x544D5042;  // "BPMT": the render staging buffer

// Non-executable non-paged pool on Windows 8 and later, plain non-paged pool before.
// IRQL <= DISPATCH_LEVEL.
inline POOL_TYPE NonPagedPoolType() { return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool; }

// The lookaside flags that go with NonPagedPoolType().
inline ULONG LookasideFlags() { return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? POOL_NX_ALLOCATION : 0; }

// The priority of the driver's system-space mappings: normal, and not
// executable on Windows 8 and later.
inline ULONG MappingPriority() {
    return NormalPagePriority | (RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? MdlMappingNoExecute : 0);
}

// Zeroed non-paged pool, or null.
inline PVOID AllocateZeroed(SIZE_T bytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolType(), bytes, tag);
    if (block != nullptr) {
        RtlZeroMemory(block, bytes);
    }
    return block;
}

// Objects of classes derived from PoolObject live in zeroed non-paged pool
// with the class's tag: `new (std::nothrow)` is not available in the kernel,
// so `new T(...)` yields null when the pool is exhausted, and `delete`
// (through a virtual destructor where there is one) frees the block.
template <ULONG Tag>
class PoolObject {
public:
    static void* operator new(size_t bytes) noexcept { return AllocateZeroed(bytes, Tag); }
    static void operator delete(void* block) noexcept {
        if (block != nullptr) {
            ExFreePoolWithTag(block, Tag);
        }
    }
    static void* operator new[](size_t) = delete;
    static void operator delete[](void*) = delete;
};

// An owned block of pool, freed when the owner goes.
template <typename T = UCHAR>
class PoolBuffer {
public:
    PoolBuffer() = default;
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    PoolBuffer(PoolBuffer&& other) noexcept : block_(other.block_), bytes_(other.bytes_) {
        other.block_ = nullptr;
        other.bytes_ = 0;
    }
    PoolBuffer& operator=(PoolBuffer&& other) noexcept {
        if (this != &other) {
            Free();
            block_ = other.block_;
            bytes_ = other.bytes_;
            other.block_ = nullptr;
            other.bytes_ = 0;
        }
        return *this;
    }
    ~PoolBuffer() { Free(); }

    // Allocates `bytes` zeroed bytes; false when the pool is exhausted.
    [[nodiscard]] bool Allocate(SIZE_T bytes, ULONG tag = kPoolTagUsba) {
        Free();
        block_ = static_cast<T*>(AllocateZeroed(bytes, tag));
        bytes_ = block_ != nullptr ? bytes : 0;
        tag_ = tag;
        return block_ != nullptr;
    }
    void Free() {
        if (block_ != nullptr) {
            ExFreePoolWithTag(block_, tag_);
            block_ = nullptr;
            bytes_ = 0;
        }
    }
    // Gives up ownership.
    T* Release() {
        T* block = block_;
        block_ = nullptr;
        bytes_ = 0;
        return block;
    }

    T* get() const { return block_; }
    SIZE_T bytes() const { return bytes_; }
    explicit operator bool() const { return block_ != nullptr; }

private:
    T* block_ = nullptr;
    SIZE_T bytes_ = 0;
    ULONG tag_ = kPoolTagUsba;
};

}  // namespace vq7

// A fixed-size array for the index tables. Probes land anywhere in tables of tens of
// megabytes, so with 4 KiB pages nearly every probe also misses the TLB; on Linux the array
// asks for transparent huge pages, which the kernel grants where it can.
#ifndef QUORVALENT_CODES_LARGE_ARRAY_HPP
#define QUORVALENT_CODES_LARGE_ARRAY_HPP

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvalent::codes {

template <class T>
class large_array {
    static_assert(std::is_trivially_copyable_v<T>);

   public:
    large_array() = default;
    explicit large_array(std::size_t n) { reset(n); }
    ~large_array() { release(); }
    large_array(const large_array&) = delete;
    large_array& operator=(const large_array&) = delete;
    large_array(large_array&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
          bytes_(std::exchange(o.bytes_, 0)), mapped_(std::exchange(o.mapped_, false)) {}
    large_array& operator=(large_array&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            bytes_ = std::exchange(o.bytes_, 0);
            mapped_ = std::exchange(o.mapped_, false);
        }
        return *this;
    }

    // n elements, zeroed.
    void reset(std::size_t n) {
        release();
        if (n == 0) return;
        bytes_ = (n * sizeof(T) + huge_page - 1) / huge_page * huge_page;
        void* p = nullptr;
#if defined(__linux__)
        if (n * sizeof(T) >= huge_page) {
            p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            ::madvise(p, bytes_, MADV_HUGEPAGE);
            mapped_ = true;
        }
#endif
        if (p == nullptr) {
            p = std::calloc(n, sizeof(T));
            if (p == nullptr) throw std::bad_alloc();
            mapped_ = false;
            bytes_ = n * sizeof(T);
        }
        data_ = static_cast<T*>(p);
        size_ = n;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }
    std::size_t bytes() const noexcept { return size_ * sizeof(T); }

   private:
    static constexpr std::size_t huge_page = std::size_t{2} << 20;

    void release() noexcept {
        if (data_ == nullptr) return;
#if defined(__linux__)
        if (mapped_) {
            ::munmap(data_, bytes_);
            data_ = nullptr;
            size_ = 0;
            return;
        }
#endif
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

}  // namespace quorvalent::codes

#endif

// Counted references to COM objects, as Microsoft::WRL::ComPtr.
#pragma once

#include <objbase.h>
#include <utility>

namespace Microsoft {
namespace WRL {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : ptr_(p) { InternalAddRef(); }
    ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) { InternalAddRef(); }
    ComPtr(ComPtr&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ~ComPtr() { InternalRelease(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p) noexcept {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        InternalRelease();
        return *this;
    }

    T* Get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T* const* GetAddressOf() const noexcept { return &ptr_; }
    T** GetAddressOf() noexcept { return &ptr_; }
    T** ReleaseAndGetAddressOf() noexcept {
        InternalRelease();
        return &ptr_;
    }
    T* Detach() noexcept {
        T* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    void Attach(T* p) noexcept {
        InternalRelease();
        ptr_ = p;
    }
    ULONG Reset() noexcept { return InternalRelease(); }
    void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    void InternalAddRef() const noexcept {
        if (ptr_) ptr_->AddRef();
    }
    ULONG InternalRelease() noexcept {
        ULONG count = 0;
        T* p = ptr_;
        if (p) {
            ptr_ = nullptr;
            count = p->Release();
        }
        return count;
    }

    T* ptr_ = nullptr;
};

}  // namespace WRL
}  // namespace Microsoft

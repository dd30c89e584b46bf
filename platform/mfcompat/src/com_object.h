// Shared machinery of the COM objects: thread-safe reference counts, interface lookup and the
// attribute store that most Media Foundation objects carry.
#pragma once

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#define MFCOMPAT_E_NOT_SUFFICIENT_BUFFER MFCOMPAT_HR(0x8007007A)

namespace mfcompat {

// For the catch of every method: what C++ throws must not cross into the caller, which knows only
// failure codes. Call it inside a catch block.
inline HRESULT hresult_of_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Global count of live objects so that tests can prove that every reference was released.
void object_created();
void object_destroyed();

// Reference counting for one implementation class. Objects start with one reference (the
// creator's) and delete themselves when the last one goes.
template <class Derived, class Interface>
class RefCounted : public Interface {
public:
    RefCounted() { object_created(); }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

protected:
    virtual ~RefCounted() { object_destroyed(); }

    // Hands out `as` for any of the listed interface identifiers.
    HRESULT answer_query(REFIID riid, void** object, std::initializer_list<IID> ids, IUnknown* as) {
        if (!object) return E_POINTER;
        for (const IID& id : ids) {
            if (id == riid) {
                as->AddRef();
                *object = as;
                return S_OK;
            }
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// One attribute value.
struct AttributeValue {
    MF_ATTRIBUTE_TYPE type = MF_ATTRIBUTE_UINT32;
    UINT64 number = 0;  // UINT32 and UINT64
    GUID guid{};
    std::u16string text;
};

// The attribute store: keyed by GUID, kept in insertion order, safe to use from several threads.
class AttributeMap {
public:
    HRESULT get_type(REFGUID key, MF_ATTRIBUTE_TYPE* type) const;
    HRESULT get_uint32(REFGUID key, UINT32* value) const;
    HRESULT get_uint64(REFGUID key, UINT64* value) const;
    HRESULT get_guid(REFGUID key, GUID* value) const;
    HRESULT get_string_length(REFGUID key, UINT32* length) const;
    HRESULT get_string(REFGUID key, LPWSTR buffer, UINT32 buffer_size, UINT32* length) const;
    HRESULT get_allocated_string(REFGUID key, LPWSTR* value, UINT32* length) const;
    HRESULT set(REFGUID key, AttributeValue value);
    HRESULT erase(REFGUID key);
    void clear();
    UINT32 count() const;
    bool lookup(REFGUID key, AttributeValue* value) const;

private:
    const AttributeValue* find_locked(REFGUID key) const;

    mutable std::mutex mutex_;
    std::vector<std::pair<GUID, AttributeValue>> items_;
};

HRESULT set_string_attribute(AttributeMap& map, REFGUID key, LPCWSTR value);

// IMFAttributes on top of an AttributeMap, for every interface that derives from it.
template <class Derived, class Interface>
class AttributesImpl : public RefCounted<Derived, Interface> {
public:
    HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override try { return attrs_.get_type(key, type); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetUINT32(REFGUID key, UINT32* value) override try { return attrs_.get_uint32(key, value); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetUINT64(REFGUID key, UINT64* value) override try { return attrs_.get_uint64(key, value); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetGUID(REFGUID key, GUID* value) override try { return attrs_.get_guid(key, value); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetStringLength(REFGUID key, UINT32* length) override try { return attrs_.get_string_length(key, length); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetString(REFGUID key, LPWSTR buffer, UINT32 buffer_size, UINT32* length) override try {
        return attrs_.get_string(key, buffer, buffer_size, length);
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override try {
        return attrs_.get_allocated_string(key, value, length);
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetUINT32(REFGUID key, UINT32 value) override try {
        AttributeValue v;
        v.type = MF_ATTRIBUTE_UINT32;
        v.number = value;
        return attrs_.set(key, std::move(v));
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetUINT64(REFGUID key, UINT64 value) override try {
        AttributeValue v;
        v.type = MF_ATTRIBUTE_UINT64;
        v.number = value;
        return attrs_.set(key, std::move(v));
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetGUID(REFGUID key, REFGUID value) override try {
        AttributeValue v;
        v.type = MF_ATTRIBUTE_GUID;
        v.guid = value;
        return attrs_.set(key, std::move(v));
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetString(REFGUID key, LPCWSTR value) override try { return set_string_attribute(attrs_, key, value); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT DeleteItem(REFGUID key) override try { return attrs_.erase(key); } catch (...) {
        return hresult_of_exception();
    }
    HRESULT DeleteAllItems() override try {
        attrs_.clear();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetCount(UINT32* count) override try {
        if (!count) return E_POINTER;
        *count = attrs_.count();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

    AttributeMap& attributes() { return attrs_; }

protected:
    AttributeMap attrs_;
};

}  // namespace mfcompat

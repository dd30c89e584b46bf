#include "com_object.h"

#include <cstring>

namespace mfcompat {

const AttributeValue* AttributeMap::find_locked(REFGUID key) const {
    for (const auto& item : items_)
        if (item.first == key) return &item.second;
    return nullptr;
}

bool AttributeMap::lookup(REFGUID key, AttributeValue* value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return false;
    if (value) *value = *found;
    return true;
}

HRESULT AttributeMap::get_type(REFGUID key, MF_ATTRIBUTE_TYPE* type) const {
    if (!type) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    *type = found->type;
    return S_OK;
}

HRESULT AttributeMap::get_uint32(REFGUID key, UINT32* value) const {
    if (!value) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_UINT32) return MF_E_INVALIDTYPE;
    *value = UINT32(found->number);
    return S_OK;
}

HRESULT AttributeMap::get_uint64(REFGUID key, UINT64* value) const {
    if (!value) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_UINT64) return MF_E_INVALIDTYPE;
    *value = found->number;
    return S_OK;
}

HRESULT AttributeMap::get_guid(REFGUID key, GUID* value) const {
    if (!value) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_GUID) return MF_E_INVALIDTYPE;
    *value = found->guid;
    return S_OK;
}

HRESULT AttributeMap::get_string_length(REFGUID key, UINT32* length) const {
    if (!length) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_STRING) return MF_E_INVALIDTYPE;
    *length = UINT32(found->text.size());
    return S_OK;
}

HRESULT AttributeMap::get_string(REFGUID key, LPWSTR buffer, UINT32 buffer_size, UINT32* length) const {
    if (!buffer) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_STRING) return MF_E_INVALIDTYPE;
    // The buffer must also hold the terminating zero.
    if (uint64_t(found->text.size()) + 1 > buffer_size) return MFCOMPAT_E_NOT_SUFFICIENT_BUFFER;
    std::memcpy(buffer, found->text.data(), found->text.size() * sizeof(WCHAR));
    buffer[found->text.size()] = 0;
    if (length) *length = UINT32(found->text.size());
    return S_OK;
}

HRESULT AttributeMap::get_allocated_string(REFGUID key, LPWSTR* value, UINT32* length) const {
    if (!value) return E_POINTER;
    *value = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    const AttributeValue* found = find_locked(key);
    if (!found) return MF_E_ATTRIBUTENOTFOUND;
    if (found->type != MF_ATTRIBUTE_STRING) return MF_E_INVALIDTYPE;
    auto* text = static_cast<LPWSTR>(CoTaskMemAlloc((found->text.size() + 1) * sizeof(WCHAR)));
    if (!text) return E_OUTOFMEMORY;
    std::memcpy(text, found->text.data(), found->text.size() * sizeof(WCHAR));
    text[found->text.size()] = 0;
    *value = text;
    if (length) *length = UINT32(found->text.size());
    return S_OK;
}

HRESULT AttributeMap::set(REFGUID key, AttributeValue value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& item : items_) {
        if (item.first == key) {
            item.second = std::move(value);
            return S_OK;
        }
    }
    items_.emplace_back(key, std::move(value));
    return S_OK;
}

HRESULT AttributeMap::erase(REFGUID key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (it->first == key) {
            items_.erase(it);
            break;
        }
    }
    // Deleting a missing key is not an error in Media Foundation either.
    return S_OK;
}

void AttributeMap::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
}

UINT32 AttributeMap::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return UINT32(items_.size());
}

HRESULT set_string_attribute(AttributeMap& map, REFGUID key, LPCWSTR value) {
    if (!value) return E_POINTER;
    AttributeValue v;
    v.type = MF_ATTRIBUTE_STRING;
    v.text = value;
    return map.set(key, std::move(v));
}

}  // namespace mfcompat
